// Binds every camera command handler into the command table.
#include "camera/camera_commands.h"

#include "service/dispatch.h"

namespace lenvaro {

void registerCameraCommands(CommandTable& table) {
    registerCameraDeviceCommands(table);
    registerCaptureCommands(table);
    registerPreviewCommands(table);
    registerAutoCaptureCommands(table);
    registerRecordingCommands(table);
    registerDocumentCommands(table);
}

}  // namespace lenvaro
