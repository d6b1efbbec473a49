// The recognition command groups, each binding its handlers into the command table.
#pragma once

namespace lenvaro {

class CommandTable;

void registerBarcodeCommands(CommandTable& table);
void registerOcrCommands(CommandTable& table);
void registerTemplateCommands(CommandTable& table);

}  // namespace lenvaro
