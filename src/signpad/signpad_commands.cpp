// Signature pad commands and the callback the library calls when a signature was saved.
#include <string>

#include "common/base64.h"
#include "files/path_argument.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

// Runs on a library thread. A saved signature ends the writing mode; nothing is sent to the
// page and no service state is touched, so no lock is needed.
bool onSignSaved(bool saved) {
    if (saved) signStopWriteDeviceAPI();
    return true;
}

// The callback is registered whatever signInit answered; the window and colour settings are read
// and handed on only once the pad is ready. The service keeps none of them.
void StartSignDeviceCommand(CommandService& service) {
    const int initStatus = signInit();
    signSetSaveCallBack(&onSignSaved);
    if (initStatus != 0) {
        service.sendReply("StartSignDevice", intToText(initStatus), false);
        return;
    }
    SignParam param{};
    param.left = service.argInt("left");
    param.ntop = service.argInt("ntop");
    param.right = service.argInt("right");
    param.bottom = service.argInt("bottom");
    param.BR = service.argInt("BR");
    param.BG = service.argInt("BG");
    param.BB = service.argInt("BB");
    param.BT = service.argInt("BT");
    param.R = service.argInt("R");
    param.G = service.argInt("G");
    param.B = service.argInt("B");
    param.nBackNum = service.argInt("nBackNum");
    const std::string filePath = service.argString("filepath");
    param.filepath = filePath.c_str();
    signSetParam(param);
    const std::string outputPath = service.argString("fileSignpath");
    signOutPutFile(outputPath.c_str());
    service.sendReply("StartSignDevice", intToText(signStartWriteDeveiceAPI()), false);
}

void BeginSignModeCommand(CommandService& service) {
    service.sendReply("BeginSignMode", intToText(signStartWriteDeveiceAPI()), false);
}

void EndSignModeCommand(CommandService& service) {
    service.sendReply("EndSignMode", intToText(signStopWriteDeviceAPI()), false);
}

// Naming the output file also (re)starts the writing mode; the page sees that call's status.
void signOutPutFileCommand(CommandService& service) {
    const std::string path = service.argString("fileSignpath");
    signOutPutFile(path.c_str());
    service.sendReply("signOutPutFile", intToText(signStartWriteDeveiceAPI()), false);
}

// Accepted and ignored: pages send it, the pad needs nothing from it.
void SetSignDeviceSNCommand(CommandService& service) {
    service.sendReply("SetSignDeviceSN", "", false);
}

// The library writes the signature image before signOutPutFile returns; the file is then sent
// as Base64 on one line. A file that cannot be read gives the empty text.
void XoOutputImageBase64Command(CommandService& service) {
    const std::string path = fittedPath(service.argString("filePath"));
    signOutPutFile(path.c_str());
    std::string text = readFileAsBase64(path);
    service.sendReply("XoOutputImageBase64", replaceAll(text, "\r\n", ""), false);
}

}  // namespace

void registerSignpadCommands(CommandTable& table) {
    table.bind("StartSignDevice", StartSignDeviceCommand);
    table.bind("BeginSignMode", BeginSignModeCommand);
    table.bind("EndSignMode", EndSignModeCommand);
    table.bind("signOutPutFile", signOutPutFileCommand);
    table.bind("SetSignDeviceSN", SetSignDeviceSNCommand);
    table.bind("XoOutputImageBase64", XoOutputImageBase64Command);
}

}  // namespace lenvaro
