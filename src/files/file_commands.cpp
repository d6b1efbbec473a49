// Binds the files command handlers into the command table.
#include "files/file_commands.h"

#include "service/dispatch.h"

namespace lenvaro {

void registerFileCommands(CommandTable& table) {
    registerFolderCommands(table);
    registerUploadCommands(table);
}

}  // namespace lenvaro
