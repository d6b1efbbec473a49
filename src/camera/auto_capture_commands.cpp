// Auto capture (the library decides when, the service numbers the files), Base64 capture, and
// the book, buzzer and finger-removal commands.
#include <cctype>

#include "camera/auto_capture.h"
#include "camera/camera_commands.h"
#include "common/base64.h"
#include "common/file_io.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

void camStartAutoCaptureCommand(CommandService& service) {
    // The numbering restarts at 1 with every start, so the same names are written again.
    service.autoCaptureCount = 0;
    const int32_t type = service.argInt("type");
    const int32_t param = service.argInt("param");
    service.setAutoCapturePath(service.argString("filePath"));
    service.autoCaptureParam = param;
    const int status =
        camStartAutoCapture(service.currentDevice.load(), type, param, onAutoCapture);
    if (status == 0) service.cameraStatus.autoCaptureStarted(service.currentDevice.load());
    service.sendReply("camStartAutoCapture", intToText(status), false);
}

void camStopAutoCaptureCommand(CommandService& service) {
    // The armed path, value and counter stay as they are.
    const int status = camStopAutoCapture(service.currentDevice.load());
    service.cameraStatus.autoCaptureStopped();
    service.sendReply("camStopAutoCapture", intToText(status), false);
}

void fileEncodeBase64Command(CommandService& service) {
    // The page tells this answer from a preview frame (both start with "$*$") by the command
    // name and the second marker; the Base64 keeps its line breaks.
    const std::string base64 = readFileAsBase64(service.argString("filePath"));
    service.sendReply("FileEncodeBase64", "FileEncodeBase64$*$" + base64, false);
}

void captureEncodeBase64Command(CommandService& service) {
    // The picture goes through a file of the service's private scratch directory, removed
    // once read.
    const std::string path = service.scratchDirectory() + "/CaptureBase64.jpg";
    camCaptureImageFile(service.currentDevice.load(), path.c_str());
    std::string base64;
    if (pathExists(path)) {
        base64 = readFileAsBase64(path);
        replaceAll(base64, "\r\n", "");
        removeFile(path);
    }
    service.sendReply("CaptureEncodeBase64", base64, false);
}

void camCaptureBookCommand(CommandService& service) {
    const std::string left = service.argString("filepath1");
    const std::string right = service.argString("filepath2");
    service.sendReply("camCaptureBook", intToText(camCaptureBook(left.c_str(), right.c_str())),
                      false);
}

void enableBuzzerCommand(CommandService& service) {
    // The device index of the second command table: the camera opened last successfully.
    const int status = camEnableBuzzer(service.secondTableDevice.load(), service.argInt("nCount"),
                                       service.argInt("Duration"), service.argInt("Interval"));
    service.sendReply("EnableBuzzer", intToText(status), false);
}

void camSetRemoveFingerCommand(CommandService& service) {
    service.sendReply("camSetRemoveFinger", intToText(camSetRemoveFinger(service.argInt("param"))),
                      false);
}

}  // namespace

std::string numberedCapturePath(const std::string& pathTemplate, int32_t number) {
    // The file name starts after the last separator, or after a drive letter and colon.
    size_t nameStart = pathTemplate.find_last_of("/\\");
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    if (nameStart == 0 && pathTemplate.size() >= 2 && pathTemplate[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(pathTemplate[0]))) {
        nameStart = 2;
    }
    size_t dot = pathTemplate.rfind('.');
    if (dot == std::string::npos || dot < nameStart) dot = pathTemplate.size();
    return pathTemplate.substr(0, dot) + std::to_string(number) + pathTemplate.substr(dot);
}

bool onAutoCapture(int event) {
    // Nothing may escape into the library's thread.
    try {
        const CommandService::CallbackAccess access;
        CommandService* service = access.service();
        if (service == nullptr) return false;
        // Every event is reported, also one that does not capture.
        service->sendReply("AutoCaptureBack", uintToText(event), false);
        if (event != service->autoCaptureParam.load() || service->pushSuspended.load()) {
            return false;
        }
        const int32_t number = ++service->autoCaptureCount;
        const std::string path = numberedCapturePath(service->autoCapturePath(), number);
        // The capture's own status is not reported: the page learns that one was attempted.
        camCaptureImageFile(service->currentDevice.load(), path.c_str());
        service->sendReply("AutoCaptureBack", "0", false);
        return true;
    } catch (...) {
        return false;
    }
}

void registerAutoCaptureCommands(CommandTable& table) {
    table.bind("camStartAutoCapture", camStartAutoCaptureCommand);
    table.bind("camStopAutoCapture", camStopAutoCaptureCommand);
    table.bind("FileEncodeBase64", fileEncodeBase64Command);
    table.bind("CaptureEncodeBase64", captureEncodeBase64Command);
    table.bind("camCaptureBook", camCaptureBookCommand);
    table.bind("EnableBuzzer", enableBuzzerCommand);
    table.bind("camSetRemoveFinger", camSetRemoveFingerCommand);
}

}  // namespace lenvaro
