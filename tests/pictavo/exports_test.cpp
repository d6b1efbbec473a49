// The shared object as a program that loads it sees it: every function of the C interface is
// there under its exact name, and nothing else of the library's is.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

// The 119 functions of the C interface, as the binary contract lists them.
// clang-format off
const char* const kInterface[] = {
    "camInitCameraLib", "camUnInitCameraLib", "camGetDevCount", "camGetDevName", "camOpenDev",
    "camCloseDev", "camRegCallBackPreviewImage", "camGetResolutionCount", "camGetResolution",
    "camSetResolution", "camGetCurResolution", "camGetMediaTypeCount", "camGetMediaTypeName",
    "camSetMediaType", "camGetDevType", "camGetDevPid", "camGetDevVid", "camGetDevSNEx",
    "camGetDevCusSN", "camCaptureImageFile", "camSetImageAutoCrop", "camSetImageCusCropRect",
    "camSetImageRotateMode", "camSetImageDPI", "camSetImageJPGQuanlity", "camSetImageAdjust",
    "camSetImageWaterMark", "camSetVideoParameter", "camAutoFocus", "camSetImageDenoise",
    "camSetImageFillBorder", "camSetImageColorStyle", "camSetImageFileSign",
    "camCheckImageFileSign", "FileEncodeBase64", "camDeleteFile", "camStartAutoCapture",
    "camStopAutoCapture", "camCaptureBook", "camEnableBuzzer", "camSetRemoveFinger",
    "camGetAudioDevCount", "camGetAudioDevName", "camGetVideoEncodeCount", "camGetVideoEncodeName",
    "camStartRecord", "camStopRecord", "camAddFileToPDFList", "camCombinePDF", "camCombineImage",
    "camShowImage", "camShowImageSettingWindow", "camShowDevSettingWindow", "idcardrfidInit",
    "idcardrfidUnInit", "idcardrfidReadIDCard", "idcardrfidGetIDCardImage",
    "idcardrfidGetOneFingerprintMsg", "camGetSsseInfo", "camGetBankCardInfo", "camGetMagCard",
    "CamReadCardBas", "CamReadCardBas_HSM_Step1", "CamReadCardBas_HSM_Step2", "CamReadCard",
    "CamReadCard_HSM_Step1", "CamReadCard_HSM_Step2", "CamWriteCard", "CamWriteCard_HSM_Step1",
    "CamWriteCard_HSM_Step2", "CamVerifyPIN", "CamChangePIN", "CamReloadPIN",
    "CamReloadPIN_HSM_Step1", "CamReloadPIN_HSM_Step2", "CamUnblockPIN", "CamUnblockPIN_HSM_Step1",
    "CamUnblockPIN_HSM_Step2", "CamUnblockPIN_HSM_Step3", "CamDoDebit", "CamDoDebit_HSM_Step1",
    "CamDoDebit_HSM_Step2", "CamReadDebitRecord", "fingerprintInit", "fingerprintUnInit",
    "fingerprintGetImage", "fingerprintGetFeature", "fingerprintContrast", "camInitFace",
    "camUnInitFace", "camMatchFaceByFile", "camMatchFaceByBase64", "camMatchFaceByFileVideo",
    "camMatchFaceByBase64Video", "camSetLivingBodyState", "coderRecognizeBarcode",
    "coderNameByBarcode", "ocrRecognizeBarcode", "ocrRecognizeBarcodeRect", "ocrGetBarcodeText",
    "ocrGetLanguageCount", "ocrGetLanguageName", "ocrAddImageFileToOCRList", "ocrCombineToFile",
    "ocrCombineToString", "otrUnInit", "otrGetTemplateCount", "otrGetTemplateInfo", "otrRecog",
    "otrGetResultCount", "otrGetResultInfo", "signInit", "signSetSaveCallBack", "signSetParam",
    "signOutPutFile", "signStartWriteDeveiceAPI", "signStopWriteDeviceAPI", "camUpdataFileHttp",
    "camUpdataFileFtpEx",
};
// clang-format on

struct PipeCloser {
    void operator()(FILE* pipe) const { pclose(pipe); }
};

// The standard output of a shell command, in the C locale (binutils translate their headings);
// fails the test when the command fails.
std::string run(const std::string& command) {
    std::unique_ptr<FILE, PipeCloser> pipe(popen(("export LC_ALL=C; " + command).c_str(), "r"));
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return "";
    }
    std::string output;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe.get())) > 0) output.append(chunk, got);
    const int status = pclose(pipe.release());
    EXPECT_EQ(status, 0) << command;
    return output;
}

TEST(Exports, TheListHasEveryFunctionOnce) {
    const std::set<std::string> names(std::begin(kInterface), std::end(kInterface));
    EXPECT_EQ(std::size(kInterface), 119u);
    EXPECT_EQ(names.size(), std::size(kInterface));
}

TEST(Exports, EveryFunctionCanBeFoundByName) {
    void* library = dlopen(PICTAVO_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : kInterface) EXPECT_NE(dlsym(library, name), nullptr) << name;
    // A C++ name of the library's (pictavo::loadConfig) stays inside.
    EXPECT_EQ(dlsym(library,
                    "_ZN7pictavo10loadConfigERKNSt7__cxx1112basic_stringIcSt11char_"
                    "traitsIcESaIcEEE"),
              nullptr);
    dlclose(library);
}

TEST(Exports, NothingButTheInterfaceIsExported) {
    const std::set<std::string> expected(std::begin(kInterface), std::end(kInterface));
    std::istringstream lines(
        run(std::string("nm -D --defined-only --format=posix '") + PICTAVO_LIBRARY_FILE + "'"));
    std::set<std::string> exported;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, type;
        fields >> name >> type;
        if (!name.empty()) exported.insert(name);
    }
    EXPECT_EQ(exported, expected);
}

TEST(Exports, TheSonameIsTheUnversionedFileName) {
    const std::string dynamic = run(std::string("readelf -d '") + PICTAVO_LIBRARY_FILE + "'");
    EXPECT_NE(dynamic.find("Library soname: [libpictavo.so]"), std::string::npos) << dynamic;
}

}  // namespace
