// Camera library lifecycle and device enumeration commands.
#include <vector>

#include "camera/camera_commands.h"
#include "capture/pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

void camInitCameraLibCommand(CommandService& service) {
    service.sendReply("camInitCameraLib", uintToText(camInitCameraLib()), false);
}

void camUnInitCameraLibCommand(CommandService& service) {
    camCloseDev(service.currentDevice.load());
    service.sendReply("camUnInitCameraLib", intToText(camUnInitCameraLib()), false);
}

void camCloseDevCommand(CommandService& service) {
    service.sendReply("camCloseDev", intToText(camCloseDev(service.argInt("devIndex"))), false);
}

void camGetDevCountCommand(CommandService& service) {
    int count = 0;
    camGetDevCount(&count);
    service.sendReply("camGetDevCount", intToText(count), false);
}

void camGetDevNameCommand(CommandService& service) {
    int count = 0;
    camGetDevCount(&count);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(libraryText(camGetDevName(i)));
    service.sendReply("camGetDevName", rawList(names), true);
}

}  // namespace

void registerCameraDeviceCommands(CommandTable& table) {
    table.bind("camInitCameraLib", camInitCameraLibCommand);
    table.bind("camUnInitCameraLib", camUnInitCameraLibCommand);
    table.bind("camCloseDev", camCloseDevCommand);
    table.bind("camGetDevCount", camGetDevCountCommand);
    table.bind("camGetDevName", camGetDevNameCommand);
}

}  // namespace lenvaro
