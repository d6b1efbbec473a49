// The command table and the request entry.
#include "service/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "service/command_service.h"

namespace lenvaro {
namespace {

struct ProtocolCommand {
    const char* name;
    CommandGroup group;
};

constexpr CommandGroup P = CommandGroup::Preamble;
constexpr CommandGroup S = CommandGroup::SecondTable;
constexpr CommandGroup M = CommandGroup::Main;

// Every command name of the protocol, once. Three names end in a space, and pages send them so.
constexpr ProtocolCommand kProtocolCommands[] = {
    {"camInitCameraLib", P}, {"camUnInitCameraLib", P}, {"PreZoneSize", P}, {"camOpenDev", P},
    {"idcardrfidGetIDCardImage", S}, {"idcardrfidGetOneFingerprintMsg", S},
    {"GetFingerprint", S}, {"ContrastFingerprintBase64", S}, {"ContrastFingerprint", S},
    {"EnableBuzzer", S}, {"camCaptureBook", S}, {"camSetRemoveFinger", S},
    {"camCloseDev", M}, {"camGetDevCount", M}, {"camGetDevName", M},
    {"camGetResolutionCount", M}, {"camGetResolution", M}, {"camSetResolution", M},
    {"camCaptureImageFile", M}, {"camSetImageAutoCrop", M}, {"camSetImageRotateMode", M},
    {"camSetImageCusCropRect", M}, {"camSetImageDPI", M}, {"FileEncodeBase64", M},
    {"CaptureEncodeBase64", M}, {"idcardrfidReadIDCard", M}, {"idcardrfidReadIDCardEx", M},
    {"ReadSBKCaard", M}, {"ReadBankCard", M}, {"ReadMagneticCard", M},
    {"fingerprintInit", M}, {"fingerprintUnInit", M}, {"CollectFingerFeature", M},
    {"CompareFingerFeature", M}, {"camStartAutoCapture", M}, {"camStopAutoCapture", M},
    {"camUpdataFileHttp", M}, {"getFolderDayFileA", M}, {"camDeleteFile", M},
    {"camSetImageJPGQuanlity", M}, {"DeleteFolderDayFileA", M}, {"camInitFace", M},
    {"camUnInitFace", M}, {"camMatchFaceByFileVideo", M}, {"camMatchFaceByBase64Video", M},
    {"camStartAsyMatchFaceBase64Video", M}, {"camMatchFaceByFile", M},
    {"camMatchFaceByBase64", M}, {"camSetLivingBodyState", M}, {"camGetAudioDevCount", M},
    {"camGetAudioDevName", M}, {"camGetVideoEncodeCount", M}, {"camGetVideoEncodeName", M},
    {"camStartRecord", M}, {"camStopRecord", M}, {"camGetMicrophoneVolumeLevel", M},
    {"camSetImageAdjust", M}, {"camAddFileToPDFList", M}, {"camCombinePDF", M},
    {"camCombineImage", M}, {"camShowImage", M}, {"camShowImageSettingWindow", M},
    {"camShowDevSettingWindow", M}, {"camSetImageWaterMark", M}, {"camSetVideoParameter", M},
    {"coderRecognizeBarcode", M}, {"coderNameByBarcode", M}, {"ocrRecognizeBarcode", M},
    {"ocrRecognizeBarcodeRect", M}, {"ocrGetBarcodeText", M}, {"camGetDevType", M},
    {"camGetDevPid", M}, {"camGetDevVid", M}, {"camGetMediaTypeCount", M},
    {"camGetMediaTypeName", M}, {"camSetMediaType", M}, {"camGetCurResolution", M},
    {"camGetDevSN", M}, {"camGetDevCusSN", M}, {"camAutoFocus", M}, {"camSetImageDenoise", M},
    {"camSetImageFillBorder", M}, {"camSetImageColorStyle", M}, {"camSetImageFileSign", M},
    {"camCheckImageFileSign", M}, {"camUpdataFileFtp", M}, {"ocrGetLanguageCount", M},
    {"ocrGetLanguageName", M}, {"ocrAddImageFileToOCRList", M}, {"ocrCombineToFile", M},
    {"ocrCombineSingleToFile", M}, {"ocrCombineToString", M}, {"ocrCombineSingleToString", M},
    {"otrUnInit", M}, {"otrGetTemplateCount ", M}, {"otrGetTemplateInfo ", M},
    {"OtrRecog ", M}, {"StartSignDevice", M}, {"BeginSignMode", M}, {"EndSignMode", M},
    {"signOutPutFile", M}, {"SetSignDeviceSN", M}, {"XoOutputImageBase64", M},
    {"iReadCardBas", M}, {"iReadCardBas_HSM_Step1", M}, {"iReadCardBas_HSM_Step2", M},
    {"iReadCard", M}, {"iReadCard_HSM_Step1", M}, {"iReadCard_HSM_Step2", M},
    {"iWriteCard", M}, {"iWriteCard_HSM_Step1", M}, {"iWriteCard_HSM_Step2", M},
    {"iVerifyPIN", M}, {"iChangePIN", M}, {"iReloadPIN", M}, {"iReloadPIN_HSM_Step1", M},
    {"iReloadPIN_HSM_Step2", M}, {"iUnblockPIN_HSM_Step3", M}, {"iUnblockPIN", M},
    {"iUnblockPIN_HSM_Step1", M}, {"iUnblockPIN_HSM_Step2", M}, {"iDoDebit", M},
    {"iDoDebit_HSM_Step1", M}, {"iDoDebit_HSM_Step2", M}, {"iReadDebitRecord", M},
    {"iReadICCardNum", M}, {"iReadIdentityCard", M},
};

[[noreturn]] void tableError(const char* what, std::string_view name) {
    std::fprintf(stderr, "command table: %s \"%.*s\"\n", what, static_cast<int>(name.size()),
                 name.data());
    std::abort();
}

}  // namespace

CommandTable::CommandTable() {
    entries_.reserve(std::size(kProtocolCommands));
    for (const ProtocolCommand& command : kProtocolCommands) {
        if (find(command.name) != nullptr) tableError("duplicate name", command.name);
        entries_.push_back({command.name, command.group, nullptr});
    }
}

const CommandTable& CommandTable::instance() {
    static const CommandTable table = [] {
        CommandTable t;
        registerCameraCommands(t);
        registerCardCommands(t);
        registerBiometricCommands(t);
        registerRecognitionCommands(t);
        registerSignpadCommands(t);
        registerFileCommands(t);
        return t;
    }();
    return table;
}

const CommandEntry* CommandTable::find(std::string_view name) const {
    // 127 short names: a linear scan that mostly stops at the length test costs well under
    // a microsecond, far less than the JSON parse before it.
    for (const CommandEntry& entry : entries_) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

void CommandTable::bind(std::string_view name, CommandHandler handler) {
    for (CommandEntry& entry : entries_) {
        if (name != entry.name) continue;
        if (entry.handler != nullptr) tableError("handler bound twice for", name);
        entry.handler = handler;
        return;
    }
    tableError("no protocol command named", name);
}

void handleRequest(CommandService& service, std::string text) {
    try {
        if (!service.parseRequest(std::move(text))) return;
        std::string name = service.envelopeString("FuncName");
        const CommandEntry* entry = CommandTable::instance().find(name);
        if (entry == nullptr || entry->handler == nullptr) return;
        service.setCommandInHand(std::move(name));
        entry->handler(service);
        service.setCommandInHand({});
    } catch (const std::exception& error) {
        service.setCommandInHand({});
        // No request may end the service thread; the page gets no answer, as for any
        // request that cannot be served.
        std::fprintf(stderr, "request dropped: %s\n", error.what());
    }
}

}  // namespace lenvaro
