// Camera library lifecycle, device enumeration, opening a camera, and its identity and video
// formats.
#include <cstring>
#include <vector>

#include "camera/camera_commands.h"
#include "camera/preview.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

// The identity texts come back in 32-byte buffers; a library that fills one to the brim without
// a terminating zero still gives a bounded text.
constexpr size_t kIdentityTextSize = 32;

std::string bufferText(const char* buffer, size_t size) {
    return std::string(buffer, strnlen(buffer, size));
}

void camInitCameraLibCommand(CommandService& service) {
    const int status = camInitCameraLib();
    service.status().setLibraryStatus(status);
    service.sendReply("camInitCameraLib", uintToText(status), false);
}

void camUnInitCameraLibCommand(CommandService& service) {
    camCloseDev(service.currentDevice.load());
    service.cameraStatus.closed(service.currentDevice.load());
    const int status = camUnInitCameraLib();
    if (status == 0) service.cameraStatus.libraryReleased();
    // Released, the library has closed every camera.
    service.status().setOpenCamera(ServiceStatus::kNoCamera);
    service.sendReply("camUnInitCameraLib", intToText(status), false);
}

void camOpenDevCommand(CommandService& service) {
    // The camera opened last is closed first, also when none was ever opened (device 0).
    camCloseDev(service.currentDevice.load());
    service.status().cameraClosed(service.currentDevice.load());
    service.cameraStatus.closed(service.currentDevice.load());
    const int32_t devIndex = service.argInt("devIndex");
    const int32_t subtype = service.argInt("subtype");
    const int32_t height = service.argInt("height");
    const int32_t width = service.argInt("width");
    const int status = camOpenDev(devIndex, subtype, width, height);
    if (status == 0) {
        service.currentDevice = devIndex;
        service.currentSubtype = subtype;
        service.secondTableDevice = devIndex;
        service.cameraStatus.opened(devIndex, subtype, width, height);
        // From here on the library may deliver preview frames.
        camRegCallBackPreviewImage(devIndex, onPreviewFrame);
        service.status().setOpenCamera(devIndex);
    }
    service.sendReply("camOpenDev", intToText(status), false);
}

void camCloseDevCommand(CommandService& service) {
    const int32_t devIndex = service.argInt("devIndex");
    const int status = camCloseDev(devIndex);
    if (status == 0) service.status().cameraClosed(devIndex);
    service.cameraStatus.closed(devIndex);
    service.sendReply("camCloseDev", intToText(status), false);
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

void camGetResolutionCountCommand(CommandService& service) {
    // Always media type 0, whatever subtype is open, as this command has always answered.
    int count = 0;
    camGetResolutionCount(service.currentDevice.load(), 0, &count);
    service.sendReply("camGetResolutionCount", intToText(count), false);
}

void camGetResolutionCommand(CommandService& service) {
    const int32_t dev = service.currentDevice.load();
    const int32_t subtype = service.currentSubtype.load();
    int count = 0;
    camGetResolutionCount(dev, subtype, &count);
    // Preset once: an index the library does not fill repeats the previous size.
    int width = 0;
    int height = 0;
    std::vector<std::string> sizes;
    for (int i = 0; i < count; ++i) {
        camGetResolution(dev, subtype, i, &width, &height);
        sizes.push_back(uintToText(width) + "*" + uintToText(height));
    }
    service.sendReply("camGetResolution", rawList(sizes), true);
}

void camSetResolutionCommand(CommandService& service) {
    const int32_t dev = service.currentDevice.load();
    int width = 0;
    int height = 0;
    camGetResolution(dev, service.currentSubtype.load(), service.argInt("index"), &width, &height);
    const int status = camSetResolution(dev, width, height);
    if (status == 0) service.cameraStatus.resolutionSet(dev, width, height);
    service.sendReply("camSetResolution", intToText(status), false);
}

void camGetMediaTypeCountCommand(CommandService& service) {
    int count = 0;
    camGetMediaTypeCount(service.currentDevice.load(), &count);
    service.sendReply("camGetMediaTypeCount", intToText(count), false);
}

void camGetMediaTypeNameCommand(CommandService& service) {
    const int32_t dev = service.currentDevice.load();
    int count = 0;
    camGetMediaTypeCount(dev, &count);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(libraryText(camGetMediaTypeName(dev, i)));
    service.sendReply("camGetMediaTypeName", rawList(names), true);
}

void camSetMediaTypeCommand(CommandService& service) {
    const int32_t index = service.argInt("iMediaIndex");
    const int status = camSetMediaType(service.currentDevice.load(), index);
    // Recorded whatever the library said: the resolution commands follow the page's choice.
    service.currentSubtype = index;
    // What pages are shown is what the camera runs at.
    if (status == 0) service.cameraStatus.mediaTypeSet(service.currentDevice.load(), index);
    service.sendReply("camSetMediaType", intToText(status), false);
}

void camGetCurResolutionCommand(CommandService& service) {
    int first = -1;
    int width = -1;
    int height = -1;
    camGetCurResolution(service.currentDevice.load(), &first, &width, &height);
    service.sendReply("camGetCurResolution", uintToText(width) + "*" + uintToText(height), false);
}

void camGetDevTypeCommand(CommandService& service) {
    int type = 99;
    const int status = camGetDevType(service.currentDevice.load(), &type);
    service.sendReply("camGetDevType", intToText(status == 0 ? type : status), false);
}

template <int (*Query)(int, char*)>
void identityTextCommand(CommandService& service, const char* name) {
    char text[kIdentityTextSize] = {};
    Query(service.currentDevice.load(), text);
    service.sendReply(name, bufferText(text, sizeof text), false);
}

void camGetDevPidCommand(CommandService& service) {
    identityTextCommand<camGetDevPid>(service, "camGetDevPid");
}

void camGetDevVidCommand(CommandService& service) {
    identityTextCommand<camGetDevVid>(service, "camGetDevVid");
}

void camGetDevSNCommand(CommandService& service) {
    identityTextCommand<camGetDevSNEx>(service, "camGetDevSN");
}

void camGetDevCusSNCommand(CommandService& service) {
    service.sendReply("camGetDevCusSN", libraryText(camGetDevCusSN(service.currentDevice.load())),
                      false);
}

}  // namespace

void registerCameraDeviceCommands(CommandTable& table) {
    table.bind("camInitCameraLib", camInitCameraLibCommand);
    table.bind("camUnInitCameraLib", camUnInitCameraLibCommand);
    table.bind("camOpenDev", camOpenDevCommand);
    table.bind("camCloseDev", camCloseDevCommand);
    table.bind("camGetDevCount", camGetDevCountCommand);
    table.bind("camGetDevName", camGetDevNameCommand);
    table.bind("camGetResolutionCount", camGetResolutionCountCommand);
    table.bind("camGetResolution", camGetResolutionCommand);
    table.bind("camSetResolution", camSetResolutionCommand);
    table.bind("camGetMediaTypeCount", camGetMediaTypeCountCommand);
    table.bind("camGetMediaTypeName", camGetMediaTypeNameCommand);
    table.bind("camSetMediaType", camSetMediaTypeCommand);
    table.bind("camGetCurResolution", camGetCurResolutionCommand);
    table.bind("camGetDevType", camGetDevTypeCommand);
    table.bind("camGetDevPid", camGetDevPidCommand);
    table.bind("camGetDevVid", camGetDevVidCommand);
    table.bind("camGetDevSN", camGetDevSNCommand);
    table.bind("camGetDevCusSN", camGetDevCusSNCommand);
}

}  // namespace lenvaro
