// The camera subsystem's handler groups, one per file.
#pragma once

namespace lenvaro {

class CommandTable;

void registerCameraDeviceCommands(CommandTable& table);

}  // namespace lenvaro
