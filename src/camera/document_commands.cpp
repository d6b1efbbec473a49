// Collecting images into a PDF, combining two images, and the library's own windows.
#include "camera/camera_commands.h"
#include "common/file_io.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

// Answer of "camAddFileToPDFList" for a path where nothing exists; the library is not asked.
constexpr int kNoSuchFile = -99;

void camAddFileToPDFListCommand(CommandService& service) {
    service.pdfListReady = true;
    const std::string path = service.argString("filePath");
    if (!pathExists(path)) {
        service.pdfListReady = false;
        service.sendReply("camAddFileToPDFList", intToText(kNoSuchFile), false);
        return;
    }
    const int status = camAddFileToPDFList(path.c_str());
    if (status == 0) service.cameraStatus.pdfPictureAdded();
    else service.pdfListReady = false;
    service.sendReply("camAddFileToPDFList", intToText(status), false);
}

void camCombinePDFCommand(CommandService& service) {
    // After a failed add the list is not combined and the page gets no answer, until the next
    // add; pages written for this protocol wait for that.
    if (!service.pdfListReady.load()) return;
    const std::string path = service.argString("filePath");
    const int status = camCombinePDF(path.c_str(), service.argInt("JpegQuality"));
    // The library empties its list on every combine that names a file, also one that failed.
    if (!path.empty()) service.cameraStatus.pdfListCombined();
    service.sendReply("camCombinePDF", intToText(status), false);
}

void camCombineImageCommand(CommandService& service) {
    const std::string first = service.argString("filePath1");
    const std::string second = service.argString("filePath2");
    const std::string output = service.argString("PdfPath");
    const int status =
        camCombineImage(first.c_str(), second.c_str(), output.c_str(), service.argInt("Type"),
                        service.argInt("offsetX"), service.argInt("offsetY"), 0, 0);
    service.sendReply("camCombineImage", intToText(status), false);
}

void camShowImageCommand(CommandService& service) {
    // The key is "FilePath", capital F, unlike the other commands.
    const std::string path = service.argString("FilePath");
    service.sendReply("camShowImage", intToText(camShowImage(path.c_str())), false);
}

// The windows belong to the library; a library without a window system answers "not supported",
// and that status is forwarded like any other.
void camShowImageSettingWindowCommand(CommandService& service) {
    service.sendReply("camShowImageSettingWindow",
                      intToText(camShowImageSettingWindow(service.currentDevice.load())), false);
}

void camShowDevSettingWindowCommand(CommandService& service) {
    service.sendReply("camShowDevSettingWindow",
                      intToText(camShowDevSettingWindow(service.currentDevice.load())), false);
}

}  // namespace

void registerDocumentCommands(CommandTable& table) {
    table.bind("camAddFileToPDFList", camAddFileToPDFListCommand);
    table.bind("camCombinePDF", camCombinePDFCommand);
    table.bind("camCombineImage", camCombineImageCommand);
    table.bind("camShowImage", camShowImageCommand);
    table.bind("camShowImageSettingWindow", camShowImageSettingWindowCommand);
    table.bind("camShowDevSettingWindow", camShowDevSettingWindowCommand);
}

}  // namespace lenvaro
