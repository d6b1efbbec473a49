// The camera subsystem's handler groups, one per file.
#pragma once

namespace lenvaro {

class CommandTable;

void registerCameraDeviceCommands(CommandTable& table);  // device_commands.cpp
void registerCaptureCommands(CommandTable& table);       // capture_commands.cpp
void registerPreviewCommands(CommandTable& table);       // preview.cpp
void registerAutoCaptureCommands(CommandTable& table);   // auto_capture_commands.cpp
void registerRecordingCommands(CommandTable& table);     // recording_commands.cpp
void registerDocumentCommands(CommandTable& table);      // document_commands.cpp

}  // namespace lenvaro
