// Binds every camera command handler into the command table.
#include "camera/camera_commands.h"

#include "service/dispatch.h"

namespace lenvaro {

void registerCameraCommands(CommandTable& table) { registerCameraDeviceCommands(table); }

}  // namespace lenvaro
