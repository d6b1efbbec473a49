// Audio devices, video encoders, and recording the open camera into a file.
#include <cstring>
#include <vector>

#include "camera/camera_commands.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

constexpr size_t kEncoderNameSize = 256;

void camGetAudioDevCountCommand(CommandService& service) {
    int count = 0;
    camGetAudioDevCount(&count);
    service.sendReply("camGetAudioDevCount", intToText(count), false);
}

void camGetAudioDevNameCommand(CommandService& service) {
    int count = 0;
    camGetAudioDevCount(&count);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(libraryText(camGetAudioDevName(i)));
    service.sendReply("camGetAudioDevName", rawList(names), true);
}

void camGetVideoEncodeCountCommand(CommandService& service) {
    int count = 0;
    camGetVideoEncodeCount(&count);
    service.sendReply("camGetVideoEncodeCount", intToText(count), false);
}

void camGetVideoEncodeNameCommand(CommandService& service) {
    int count = 0;
    camGetVideoEncodeCount(&count);
    // One buffer, cleared once and reused: an index the library does not fill repeats the name
    // before it.
    char name[kEncoderNameSize] = {};
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        camGetVideoEncodeName(i, name);
        names.emplace_back(name, strnlen(name, sizeof name));
    }
    service.sendReply("camGetVideoEncodeName", rawList(names), true);
}

void camStartRecordCommand(CommandService& service) {
    const std::string path = service.argString("filePath");
    // Microphone before video format; the last argument is always 1.
    const int status = camStartRecord(service.currentDevice.load(), path.c_str(),
                                      service.argInt("micphone"), service.argInt("videoFormat"), 1);
    if (status == 0) service.cameraStatus.recordingStarted(service.currentDevice.load());
    service.sendReply("camStartRecord", intToText(status), false);
}

void camStopRecordCommand(CommandService& service) {
    const int status = camStopRecord(service.currentDevice.load());
    // Whatever it answers (-5: frames left out), the recording has ended.
    service.cameraStatus.recordingStopped();
    service.sendReply("camStopRecord", intToText(status), false);
}

// Accepted and never answered: the library has no volume query.
void camGetMicrophoneVolumeLevelCommand(CommandService&) {}

}  // namespace

void registerRecordingCommands(CommandTable& table) {
    table.bind("camGetAudioDevCount", camGetAudioDevCountCommand);
    table.bind("camGetAudioDevName", camGetAudioDevNameCommand);
    table.bind("camGetVideoEncodeCount", camGetVideoEncodeCountCommand);
    table.bind("camGetVideoEncodeName", camGetVideoEncodeNameCommand);
    table.bind("camStartRecord", camStartRecordCommand);
    table.bind("camStopRecord", camStopRecordCommand);
    table.bind("camGetMicrophoneVolumeLevel", camGetMicrophoneVolumeLevelCommand);
}

}  // namespace lenvaro
