// Binds the recognition command handlers into the command table.
#include "recognition/recognition_commands.h"

#include "service/dispatch.h"

namespace lenvaro {

void registerRecognitionCommands(CommandTable& table) {
    registerBarcodeCommands(table);
    registerOcrCommands(table);
    registerTemplateCommands(table);
}

}  // namespace lenvaro
