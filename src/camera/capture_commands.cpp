// Capture to a file and the image-processing settings of the open camera. Each command makes
// one library call on the current device and replies with its status; path arguments are
// passed whole, however long.
#include "camera/camera_commands.h"
#include "camera/preview.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

// Yes/no arguments arrive as integers; the library gets exactly 0 or 1.
int flag(int32_t value) { return value != 0 ? 1 : 0; }

int32_t dev(const CommandService& service) { return service.currentDevice.load(); }

void reply(CommandService& service, const char* name, int status) {
    service.sendReply(name, intToText(status), false);
}

void camCaptureImageFileCommand(CommandService& service) {
    const std::string path = service.argString("filePath");
    reply(service, "camCaptureImageFile", camCaptureImageFile(dev(service), path.c_str()));
}

void camSetImageAutoCropCommand(CommandService& service) {
    // The preview mark goes first, even if the library then refuses the automatic crop.
    previewState().setCropRect(CropRect{});
    const int32_t cropType = service.argInt("CropType");
    if (camSetImageCusCropRect(dev(service), 0, 0, 0, 0) == 0) {
        service.cameraStatus.customCropSet(dev(service), CropRect{});
    }
    const int status = camSetImageAutoCrop(dev(service), cropType);
    if (status == 0) service.cameraStatus.autoCropSet(dev(service), cropType);
    reply(service, "camSetImageAutoCrop", status);
}

void camSetImageCusCropRectCommand(CommandService& service) {
    const CropRect rect{service.argInt("left"), service.argInt("top"), service.argInt("right"),
                        service.argInt("bottom")};
    const int status =
        camSetImageCusCropRect(dev(service), rect.left, rect.top, rect.right, rect.bottom);
    // Only a rectangle the library accepted is marked on the preview.
    if (status == 0) {
        previewState().setCropRect(rect);
        service.cameraStatus.customCropSet(dev(service), rect);
    }
    reply(service, "camSetImageCusCropRect", status);
}

void camSetImageRotateModeCommand(CommandService& service) {
    const int32_t rotateMode = service.argInt("rotateMode");
    const int status = camSetImageRotateMode(dev(service), rotateMode);
    if (status == 0) service.cameraStatus.rotationSet(dev(service), rotateMode);
    reply(service, "camSetImageRotateMode", status);
}

void camSetImageDPICommand(CommandService& service) {
    // One value for both directions.
    const int32_t dpi = service.argInt("xDPI");
    reply(service, "camSetImageDPI", camSetImageDPI(dev(service), dpi, dpi));
}

void camSetImageJPGQuanlityCommand(CommandService& service) {
    reply(service, "camSetImageJPGQuanlity",
          camSetImageJPGQuanlity(dev(service), service.argInt("quanlity")));
}

void camSetImageAdjustCommand(CommandService& service) {
    reply(service, "camSetImageAdjust", camSetImageAdjust(dev(service), service.argInt("Type")));
}

void camSetImageWaterMarkCommand(CommandService& service) {
    const std::string message = service.argString("strMsg");
    const std::string font = service.argString("strfont");
    const int status = camSetImageWaterMark(
        dev(service), message.c_str(), service.argInt("itype"), service.argInt("ifontSize"),
        font.c_str(), flag(service.argInt("iItalic")), flag(service.argInt("iUnderline")),
        flag(service.argInt("iWeight")), service.argFloat("fangle"),
        service.argFloat("ftransparent"), service.argInt("icolorR"), service.argInt("icolorG"),
        service.argInt("icolorB"), flag(service.argInt("isAvailabel")));
    reply(service, "camSetImageWaterMark", status);
}

void camSetVideoParameterCommand(CommandService& service) {
    reply(service, "camSetVideoParameter",
          camSetVideoParameter(dev(service), service.argInt("ipara1"), service.argInt("ipara2"),
                               service.argInt("ilvalue"), service.argInt("iflag")));
}

void camAutoFocusCommand(CommandService& service) {
    reply(service, "camAutoFocus", camAutoFocus(dev(service), service.argInt("itype")));
}

void camSetImageDenoiseCommand(CommandService& service) {
    reply(service, "camSetImageDenoise",
          camSetImageDenoise(dev(service), flag(service.argInt("IsAvailabel"))));
}

void camSetImageFillBorderCommand(CommandService& service) {
    // Passed as given, not reduced to 0/1: the value may select a fill mode.
    reply(service, "camSetImageFillBorder",
          camSetImageFillBorder(dev(service), service.argInt("IsAvailabel")));
}

void camSetImageColorStyleCommand(CommandService& service) {
    reply(service, "camSetImageColorStyle",
          camSetImageColorStyle(dev(service), service.argInt("itype")));
}

void camSetImageFileSignCommand(CommandService& service) {
    reply(service, "camSetImageFileSign",
          camSetImageFileSign(dev(service), flag(service.argInt("IsAvailabel"))));
}

void camCheckImageFileSignCommand(CommandService& service) {
    // Works without an open camera. The status is the answer; the flag output is not used.
    const std::string path = service.argString("strImagePath");
    bool signedFlag = false;
    reply(service, "camCheckImageFileSign", camCheckImageFileSign(path.c_str(), &signedFlag));
}

}  // namespace

void registerCaptureCommands(CommandTable& table) {
    table.bind("camCaptureImageFile", camCaptureImageFileCommand);
    table.bind("camSetImageAutoCrop", camSetImageAutoCropCommand);
    table.bind("camSetImageCusCropRect", camSetImageCusCropRectCommand);
    table.bind("camSetImageRotateMode", camSetImageRotateModeCommand);
    table.bind("camSetImageDPI", camSetImageDPICommand);
    table.bind("camSetImageJPGQuanlity", camSetImageJPGQuanlityCommand);
    table.bind("camSetImageAdjust", camSetImageAdjustCommand);
    table.bind("camSetImageWaterMark", camSetImageWaterMarkCommand);
    table.bind("camSetVideoParameter", camSetVideoParameterCommand);
    table.bind("camAutoFocus", camAutoFocusCommand);
    table.bind("camSetImageDenoise", camSetImageDenoiseCommand);
    table.bind("camSetImageFillBorder", camSetImageFillBorderCommand);
    table.bind("camSetImageColorStyle", camSetImageColorStyleCommand);
    table.bind("camSetImageFileSign", camSetImageFileSignCommand);
    table.bind("camCheckImageFileSign", camCheckImageFileSignCommand);
}

}  // namespace lenvaro
