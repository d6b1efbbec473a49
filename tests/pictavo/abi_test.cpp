// The C interface on a computer with no device attached, as the service calls it: every answer
// is honest (counts of zero succeed, device work fails), and no pointer argument can crash it.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pictavo.h"
#include "pictavo/status.h"
#include "temp_dir.h"

namespace {

using pictavo::kInvalidArgument;
using pictavo::kNoDevice;
using pictavo::kNotSupported;
using pictavo::kOk;

using Call = std::pair<const char*, std::function<int()>>;

// Runs every call and reports each one whose status differs, by name.
void expectAll(int expected, const std::vector<Call>& calls) {
    for (const auto& [name, call] : calls) EXPECT_EQ(call(), expected) << name;
}

bool previewFrame(uint8_t*, int, int, int) { return true; }
bool autoCaptureEvent(int) { return true; }
bool signSaved(bool) { return true; }

SignParam signParam(const char* path) {
    SignParam param{};
    param.right = 400;
    param.bottom = 200;
    param.filepath = path;
    return param;
}

TEST(NoDevices, CountsAreZeroAndSucceed) {
    const std::vector<std::pair<const char*, int (*)(int*)>> counts = {
        {"camGetDevCount", camGetDevCount},
        {"camGetAudioDevCount", camGetAudioDevCount},
        {"camGetVideoEncodeCount", camGetVideoEncodeCount},
        {"ocrGetLanguageCount", ocrGetLanguageCount},
        {"otrGetTemplateCount", otrGetTemplateCount},
        {"otrGetResultCount", otrGetResultCount},
    };
    for (const auto& [name, count] : counts) {
        int n = 7;
        EXPECT_EQ(count(&n), kOk) << name;
        EXPECT_EQ(n, 0) << name;
    }
}

TEST(NoDevices, CountsOfAMissingDeviceFailAndReadZero) {
    int n = 7;
    EXPECT_EQ(camGetResolutionCount(0, 0, &n), kNoDevice);
    EXPECT_EQ(n, 0);
    n = 7;
    EXPECT_EQ(camGetMediaTypeCount(0, &n), kNoDevice);
    EXPECT_EQ(n, 0);
}

TEST(NoDevices, NamesAreEmptyTextNeverNull) {
    for (int index : {0, 1, -1, INT_MAX, INT_MIN}) {
        const std::vector<std::pair<const char*, const char*>> names = {
            {"camGetDevName", camGetDevName(index)},
            {"camGetMediaTypeName", camGetMediaTypeName(index, 0)},
            {"camGetDevCusSN", camGetDevCusSN(index)},
            {"camGetAudioDevName", camGetAudioDevName(index)},
        };
        for (const auto& [name, text] : names) {
            ASSERT_NE(text, nullptr) << name << " " << index;
            EXPECT_STREQ(text, "") << name << " " << index;
        }
    }
}

TEST(NoDevices, InitAndUnInitSucceed) {
    expectAll(kOk, {
                       {"camInitCameraLib", camInitCameraLib},
                       {"camUnInitCameraLib", camUnInitCameraLib},
                       {"idcardrfidInit", idcardrfidInit},
                       {"idcardrfidUnInit", idcardrfidUnInit},
                       {"fingerprintInit", fingerprintInit},
                       {"fingerprintUnInit", fingerprintUnInit},
                       {"camInitFace", camInitFace},
                       {"camUnInitFace", camUnInitFace},
                       {"otrUnInit", otrUnInit},
                       {"signInit", signInit},
                   });
}

TEST(NoDevices, CameraWorkReportsNoDevice) {
    int a = 0, b = 0, c = 0;
    char text[32] = {};
    for (int dev : {0, 1, -1, INT_MAX}) {
        SCOPED_TRACE(dev);
        expectAll(
            kNoDevice,
            {
                {"camOpenDev", [&] { return camOpenDev(dev, 0, 640, 480); }},
                {"camCloseDev", [&] { return camCloseDev(dev); }},
                {"camRegCallBackPreviewImage",
                 [&] { return camRegCallBackPreviewImage(dev, previewFrame); }},
                {"camGetResolution", [&] { return camGetResolution(dev, 0, 0, &a, &b); }},
                {"camSetResolution", [&] { return camSetResolution(dev, 640, 480); }},
                {"camGetCurResolution", [&] { return camGetCurResolution(dev, &a, &b, &c); }},
                {"camSetMediaType", [&] { return camSetMediaType(dev, 0); }},
                {"camGetDevType", [&] { return camGetDevType(dev, &a); }},
                {"camGetDevPid", [&] { return camGetDevPid(dev, text); }},
                {"camGetDevVid", [&] { return camGetDevVid(dev, text); }},
                {"camGetDevSNEx", [&] { return camGetDevSNEx(dev, text); }},
                {"camCaptureImageFile", [&] { return camCaptureImageFile(dev, "/tmp/x.jpg"); }},
                {"camSetImageAutoCrop", [&] { return camSetImageAutoCrop(dev, 1); }},
                {"camSetImageCusCropRect",
                 [&] { return camSetImageCusCropRect(dev, 0, 0, 10, 10); }},
                {"camSetImageRotateMode", [&] { return camSetImageRotateMode(dev, 1); }},
                {"camSetImageDPI", [&] { return camSetImageDPI(dev, 300, 300); }},
                {"camSetImageJPGQuanlity", [&] { return camSetImageJPGQuanlity(dev, 80); }},
                {"camSetImageAdjust", [&] { return camSetImageAdjust(dev, 1); }},
                {"camSetImageWaterMark",
                 [&] {
                     return camSetImageWaterMark(dev, "mark", 0, 12, "Sans", 0, 0, 400, 0.f, 0.5f,
                                                 255, 0, 0, 1);
                 }},
                {"camSetVideoParameter", [&] { return camSetVideoParameter(dev, 1, 2, 3, 4); }},
                {"camAutoFocus", [&] { return camAutoFocus(dev, 0); }},
                {"camSetImageDenoise", [&] { return camSetImageDenoise(dev, 1); }},
                {"camSetImageFillBorder", [&] { return camSetImageFillBorder(dev, 1); }},
                {"camSetImageColorStyle", [&] { return camSetImageColorStyle(dev, 1); }},
                {"camSetImageFileSign", [&] { return camSetImageFileSign(dev, 1); }},
                {"camStartAutoCapture",
                 [&] { return camStartAutoCapture(dev, 0, 0, autoCaptureEvent); }},
                {"camStopAutoCapture", [&] { return camStopAutoCapture(dev); }},
                {"camEnableBuzzer", [&] { return camEnableBuzzer(dev, 1, 100, 100); }},
                {"camStartRecord", [&] { return camStartRecord(dev, "/tmp/x.avi", 0, 0, 0); }},
                {"camStopRecord", [&] { return camStopRecord(dev); }},
                {"camShowImageSettingWindow", [&] { return camShowImageSettingWindow(dev); }},
                {"camShowDevSettingWindow", [&] { return camShowDevSettingWindow(dev); }},
                {"coderNameByBarcode", [&] { return coderNameByBarcode(dev, 1); }},
                {"camMatchFaceByFileVideo",
                 [&] { return camMatchFaceByFileVideo(dev, "/tmp/a.jpg", &a, "", 1000); }},
                {"camMatchFaceByBase64Video",
                 [&] { return camMatchFaceByBase64Video(dev, "AAAA", &a, "", 1000); }},
            });
    }
    // Book capture uses the open device, and none is open.
    EXPECT_EQ(camCaptureBook("/tmp/a.jpg", "/tmp/b.jpg"), kNoDevice);
}

TEST(NoDevices, FailedCallsLeaveOutputsAsPreset) {
    char pid[32];
    std::memset(pid, 'p', sizeof pid);
    int width = 11, height = 12, first = 13, type = 14;
    EXPECT_EQ(camGetDevPid(0, pid), kNoDevice);
    EXPECT_EQ(std::string(pid, sizeof pid), std::string(32, 'p'));
    EXPECT_EQ(camGetResolution(0, 0, 0, &width, &height), kNoDevice);
    EXPECT_EQ(camGetCurResolution(0, &first, &width, &height), kNoDevice);
    EXPECT_EQ(camGetDevType(0, &type), kNoDevice);
    EXPECT_EQ(std::vector<int>({width, height, first, type}), std::vector<int>({11, 12, 13, 14}));

    std::vector<uint8_t> record(PICTAVO_ID_CARD_RECORD_SIZE, 0xAB);
    EXPECT_EQ(idcardrfidReadIDCard(record.data(), "/tmp/photo.bmp"), kNoDevice);
    EXPECT_EQ(record, std::vector<uint8_t>(PICTAVO_ID_CARD_RECORD_SIZE, 0xAB));

    char out[64];
    std::memset(out, 'o', sizeof out);
    EXPECT_EQ(CamReadCardBas(1, out), kNoDevice);
    EXPECT_EQ(std::string(out, sizeof out), std::string(64, 'o'));
}

TEST(NoDevices, CardAndBiometricDevicesReportNoDevice) {
    std::vector<uint8_t> buffer(262144);
    std::vector<uint8_t> second(262144);
    int status = 0;
    char out[1024] = {};
    expectAll(
        kNoDevice,
        {
            {"idcardrfidReadIDCard", [&] { return idcardrfidReadIDCard(buffer.data(), ""); }},
            {"idcardrfidGetIDCardImage",
             [&] { return idcardrfidGetIDCardImage(0, "/tmp/f.jpg", "/tmp/b.jpg"); }},
            {"idcardrfidGetOneFingerprintMsg",
             [&] { return idcardrfidGetOneFingerprintMsg(0, buffer.data(), &status); }},
            {"camGetSsseInfo", [&] { return camGetSsseInfo(buffer.data()); }},
            {"camGetBankCardInfo", [&] { return camGetBankCardInfo(buffer.data()); }},
            {"camGetMagCard", [&] { return camGetMagCard(buffer.data()); }},
            {"CamReadCardBas", [&] { return CamReadCardBas(1, out); }},
            {"CamReadCardBas_HSM_Step1", [&] { return CamReadCardBas_HSM_Step1(1, out); }},
            {"CamReadCardBas_HSM_Step2", [&] { return CamReadCardBas_HSM_Step2("key", out); }},
            {"CamReadCard", [&] { return CamReadCard(1, 0, "info", "addr", out); }},
            {"CamReadCard_HSM_Step1",
             [&] { return CamReadCard_HSM_Step1(1, "info", "addr", out); }},
            {"CamReadCard_HSM_Step2", [&] { return CamReadCard_HSM_Step2("key", out); }},
            {"CamWriteCard", [&] { return CamWriteCard(1, "info", "addr", "data", out); }},
            {"CamWriteCard_HSM_Step1",
             [&] { return CamWriteCard_HSM_Step1(1, "info", "addr", out); }},
            {"CamWriteCard_HSM_Step2", [&] { return CamWriteCard_HSM_Step2("key", "data", out); }},
            {"CamVerifyPIN", [&] { return CamVerifyPIN(1, out); }},
            {"CamChangePIN", [&] { return CamChangePIN(1, out); }},
            {"CamReloadPIN", [&] { return CamReloadPIN(1, "info", out); }},
            {"CamReloadPIN_HSM_Step1", [&] { return CamReloadPIN_HSM_Step1(1, "info", out); }},
            {"CamReloadPIN_HSM_Step2", [&] { return CamReloadPIN_HSM_Step2("key", out); }},
            {"CamUnblockPIN", [&] { return CamUnblockPIN(1, "info", out); }},
            {"CamUnblockPIN_HSM_Step1", [&] { return CamUnblockPIN_HSM_Step1(1, "info", out); }},
            {"CamUnblockPIN_HSM_Step2", [&] { return CamUnblockPIN_HSM_Step2("key", out); }},
            {"CamUnblockPIN_HSM_Step3", [&] { return CamUnblockPIN_HSM_Step3("key", out); }},
            {"CamDoDebit", [&] { return CamDoDebit(1, "info", "pay", out); }},
            {"CamDoDebit_HSM_Step1", [&] { return CamDoDebit_HSM_Step1(1, "info", "pay", out); }},
            {"CamDoDebit_HSM_Step2", [&] { return CamDoDebit_HSM_Step2("key", out); }},
            {"CamReadDebitRecord", [&] { return CamReadDebitRecord(1, out); }},
            {"fingerprintGetImage",
             [&] { return fingerprintGetImage(buffer.data(), second.data()); }},
            {"fingerprintGetFeature",
             [&] { return fingerprintGetFeature(second.data(), buffer.data()); }},
            {"fingerprintContrast",
             [&] { return fingerprintContrast(buffer.data(), second.data()); }},
            {"signSetSaveCallBack", [&] { return signSetSaveCallBack(signSaved); }},
            {"signSetParam", [&] { return signSetParam(signParam("/tmp/sign.png")); }},
            {"signOutPutFile", [&] { return signOutPutFile("/tmp/sign.png"); }},
            {"signStartWriteDeveiceAPI", [&] { return signStartWriteDeveiceAPI(); }},
            {"signStopWriteDeviceAPI", [&] { return signStopWriteDeviceAPI(); }},
        });
}

TEST(NoDevices, MissingEnginesReportNotSupported) {
    int score = 5;
    bool isSigned = false;
    int count = 3;
    char text[10000] = {};
    auto results = std::make_unique<BarcodeResultSet>();
    expectAll(
        kNotSupported,
        {
            {"camMatchFaceByFile",
             [&] { return camMatchFaceByFile("/tmp/a.jpg", "/tmp/b.jpg", &score); }},
            {"camMatchFaceByBase64", [&] { return camMatchFaceByBase64("AAAA", "BBBB", &score); }},
            {"camSetLivingBodyState", [&] { return camSetLivingBodyState(1); }},
            {"camAddFileToPDFList", [&] { return camAddFileToPDFList("/tmp/a.jpg"); }},
            {"camCombinePDF", [&] { return camCombinePDF("/tmp/a.pdf", 80); }},
            {"camCombineImage",
             [&] {
                 return camCombineImage("/tmp/a.jpg", "/tmp/b.jpg", "/tmp/c.jpg", 0, 0, 0, 0, 0);
             }},
            {"camShowImage", [&] { return camShowImage("/tmp/a.jpg"); }},
            {"coderRecognizeBarcode",
             [&] {
                 return coderRecognizeBarcode("/tmp/a.jpg",
                                              reinterpret_cast<uint8_t*>(results.get()));
             }},
            {"ocrRecognizeBarcode", [&] { return ocrRecognizeBarcode("/tmp/a.jpg", 0, &count); }},
            {"ocrRecognizeBarcodeRect",
             [&] { return ocrRecognizeBarcodeRect("/tmp/a.jpg", 0, 0, 0, 10, 10, &count); }},
            {"ocrAddImageFileToOCRList", [&] { return ocrAddImageFileToOCRList("/tmp/a.jpg"); }},
            {"ocrCombineToFile", [&] { return ocrCombineToFile("/tmp/a.txt", 0); }},
            {"ocrCombineToString", [&] { return ocrCombineToString(0, text); }},
            {"otrRecog", [&] { return otrRecog(0, "/tmp/a.jpg"); }},
            {"camUpdataFileHttp",
             [&] { return camUpdataFileHttp("/tmp/a.jpg", "http://127.0.0.1/", "", text); }},
            {"camUpdataFileFtpEx",
             [&] { return camUpdataFileFtpEx("/tmp/a.jpg", "/in", "user", "pw", 21, "a.jpg"); }},
        });
    EXPECT_EQ(score, 5);
    EXPECT_EQ(count, 0) << "a failed recognition reads as no codes";
    // Checking a file sign needs no device, only the file.
    EXPECT_EQ(camCheckImageFileSign("/nonexistent/a.jpg", &isSigned), pictavo::kFileError);
    EXPECT_FALSE(isSigned);
    // Finger removal is a setting of the cameras' book capture, and there is no camera.
    EXPECT_EQ(camSetRemoveFinger(1), kNoDevice);
}

TEST(NoDevices, EmptyListsRejectEveryIndex) {
    char name[10000] = {};
    char value[10000] = {};
    int size = 1024;
    for (int index : {0, 1, -1}) {
        SCOPED_TRACE(index);
        expectAll(
            kInvalidArgument,
            {
                {"camGetVideoEncodeName", [&] { return camGetVideoEncodeName(index, name); }},
                {"ocrGetLanguageName", [&] { return ocrGetLanguageName(index, name); }},
                {"ocrGetBarcodeText", [&] { return ocrGetBarcodeText(index, name, &size); }},
                {"otrGetTemplateInfo", [&] { return otrGetTemplateInfo(index, name, &size); }},
                {"otrGetResultInfo", [&] { return otrGetResultInfo(index, name, value); }},
            });
    }
    EXPECT_EQ(size, 1024);
}

TEST(NullArguments, AreRejectedWithoutTouchingMemory) {
    int n = 0;
    char text[1024] = {};
    uint8_t bytes[1024] = {};
    expectAll(
        kInvalidArgument,
        {
            {"camGetDevCount", [&] { return camGetDevCount(nullptr); }},
            {"camGetResolutionCount", [&] { return camGetResolutionCount(0, 0, nullptr); }},
            {"camGetResolution", [&] { return camGetResolution(0, 0, 0, nullptr, &n); }},
            {"camGetResolution height", [&] { return camGetResolution(0, 0, 0, &n, nullptr); }},
            {"camGetCurResolution", [&] { return camGetCurResolution(0, nullptr, &n, &n); }},
            {"camGetMediaTypeCount", [&] { return camGetMediaTypeCount(0, nullptr); }},
            {"camGetDevType", [&] { return camGetDevType(0, nullptr); }},
            {"camGetDevPid", [&] { return camGetDevPid(0, nullptr); }},
            {"camGetDevVid", [&] { return camGetDevVid(0, nullptr); }},
            {"camGetDevSNEx", [&] { return camGetDevSNEx(0, nullptr); }},
            {"camCaptureImageFile", [&] { return camCaptureImageFile(0, nullptr); }},
            {"camCaptureImageFile empty", [&] { return camCaptureImageFile(0, ""); }},
            {"camSetImageWaterMark",
             [&] {
                 return camSetImageWaterMark(0, nullptr, 0, 12, "Sans", 0, 0, 400, 0.f, 0.f, 0, 0,
                                             0, 1);
             }},
            {"camCheckImageFileSign", [&] { return camCheckImageFileSign("/tmp/a.jpg", nullptr); }},
            {"camCheckImageFileSign path",
             [&] {
                 bool flag = false;
                 return camCheckImageFileSign(nullptr, &flag);
             }},
            {"camDeleteFile", [&] { return camDeleteFile(nullptr); }},
            {"camCaptureBook", [&] { return camCaptureBook(nullptr, "/tmp/b.jpg"); }},
            {"camGetAudioDevCount", [&] { return camGetAudioDevCount(nullptr); }},
            {"camGetVideoEncodeCount", [&] { return camGetVideoEncodeCount(nullptr); }},
            {"camGetVideoEncodeName", [&] { return camGetVideoEncodeName(0, nullptr); }},
            {"camStartRecord", [&] { return camStartRecord(0, nullptr, 0, 0, 0); }},
            {"camAddFileToPDFList", [&] { return camAddFileToPDFList(nullptr); }},
            {"camCombinePDF", [&] { return camCombinePDF(nullptr, 80); }},
            {"camCombineImage",
             [&] { return camCombineImage("/a", nullptr, "/c", 0, 0, 0, 0, 0); }},
            {"camShowImage", [&] { return camShowImage(nullptr); }},
            {"idcardrfidReadIDCard", [&] { return idcardrfidReadIDCard(nullptr, ""); }},
            {"idcardrfidReadIDCard photo", [&] { return idcardrfidReadIDCard(bytes, nullptr); }},
            {"idcardrfidGetIDCardImage",
             [&] { return idcardrfidGetIDCardImage(0, nullptr, "/b"); }},
            {"idcardrfidGetOneFingerprintMsg",
             [&] { return idcardrfidGetOneFingerprintMsg(0, bytes, nullptr); }},
            {"camGetSsseInfo", [&] { return camGetSsseInfo(nullptr); }},
            {"camGetBankCardInfo", [&] { return camGetBankCardInfo(nullptr); }},
            {"camGetMagCard", [&] { return camGetMagCard(nullptr); }},
            {"CamReadCardBas", [&] { return CamReadCardBas(1, nullptr); }},
            {"CamReadCardBas_HSM_Step2", [&] { return CamReadCardBas_HSM_Step2(nullptr, text); }},
            {"CamReadCard", [&] { return CamReadCard(1, 0, nullptr, "addr", text); }},
            {"CamWriteCard", [&] { return CamWriteCard(1, "info", "addr", nullptr, text); }},
            {"CamWriteCard_HSM_Step2",
             [&] { return CamWriteCard_HSM_Step2("key", nullptr, text); }},
            {"CamReloadPIN", [&] { return CamReloadPIN(1, nullptr, text); }},
            {"CamUnblockPIN_HSM_Step3", [&] { return CamUnblockPIN_HSM_Step3(nullptr, text); }},
            {"CamDoDebit", [&] { return CamDoDebit(1, "info", nullptr, text); }},
            {"CamReadDebitRecord", [&] { return CamReadDebitRecord(1, nullptr); }},
            {"fingerprintGetImage", [&] { return fingerprintGetImage(nullptr, bytes); }},
            {"fingerprintGetFeature", [&] { return fingerprintGetFeature(bytes, nullptr); }},
            {"fingerprintContrast", [&] { return fingerprintContrast(nullptr, bytes); }},
            {"camMatchFaceByFile", [&] { return camMatchFaceByFile("/a", "/b", nullptr); }},
            {"camMatchFaceByBase64", [&] { return camMatchFaceByBase64(nullptr, "AAAA", &n); }},
            {"camMatchFaceByFileVideo",
             [&] { return camMatchFaceByFileVideo(0, "/a", nullptr, "", 1); }},
            {"camMatchFaceByBase64Video",
             [&] { return camMatchFaceByBase64Video(0, "AAAA", &n, nullptr, 1); }},
            {"coderRecognizeBarcode", [&] { return coderRecognizeBarcode("/a", nullptr); }},
            {"ocrRecognizeBarcode", [&] { return ocrRecognizeBarcode("/a", 0, nullptr); }},
            {"ocrRecognizeBarcode path", [&] { return ocrRecognizeBarcode(nullptr, 0, &n); }},
            {"ocrRecognizeBarcodeRect",
             [&] { return ocrRecognizeBarcodeRect("/a", 0, 0, 0, 1, 1, nullptr); }},
            {"ocrGetBarcodeText", [&] { return ocrGetBarcodeText(0, text, nullptr); }},
            {"ocrGetLanguageCount", [&] { return ocrGetLanguageCount(nullptr); }},
            {"ocrGetLanguageName", [&] { return ocrGetLanguageName(0, nullptr); }},
            {"ocrAddImageFileToOCRList", [&] { return ocrAddImageFileToOCRList(nullptr); }},
            {"ocrCombineToFile", [&] { return ocrCombineToFile(nullptr, 0); }},
            {"ocrCombineToString", [&] { return ocrCombineToString(0, nullptr); }},
            {"otrGetTemplateCount", [&] { return otrGetTemplateCount(nullptr); }},
            {"otrGetTemplateInfo", [&] { return otrGetTemplateInfo(0, nullptr, &n); }},
            {"otrRecog", [&] { return otrRecog(0, nullptr); }},
            {"otrGetResultCount", [&] { return otrGetResultCount(nullptr); }},
            {"otrGetResultInfo", [&] { return otrGetResultInfo(0, text, nullptr); }},
            {"signSetParam", [&] { return signSetParam(signParam(nullptr)); }},
            {"signOutPutFile", [&] { return signOutPutFile(nullptr); }},
            {"camUpdataFileHttp",
             [&] { return camUpdataFileHttp("/a", "http://h/", "", nullptr); }},
            {"camUpdataFileHttp url", [&] { return camUpdataFileHttp("/a", nullptr, "", text); }},
            {"camUpdataFileFtpEx",
             [&] { return camUpdataFileFtpEx(nullptr, "/in", "u", "p", 21, "a"); }},
        });
    EXPECT_STREQ(FileEncodeBase64(nullptr), "");
}

TEST(NullArguments, ANullCallbackOnAMissingDeviceIsStillNoDevice) {
    EXPECT_EQ(camRegCallBackPreviewImage(0, nullptr), kNoDevice);
    EXPECT_EQ(camStartAutoCapture(0, 0, 0, nullptr), kNoDevice);
    EXPECT_EQ(signSetSaveCallBack(nullptr), kNoDevice);
}

TEST(ReturnedText, StaysValidUntilTheSameThreadCallsAgain) {
    pictavo_test::TempDir dir;
    const std::string mine = dir.write("mine.bin", "abc");
    const std::string theirs = dir.write("theirs.bin", "xyz");

    const char* text = FileEncodeBase64(mine.c_str());
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) FileEncodeBase64(theirs.c_str());
    });
    other.join();
    EXPECT_STREQ(text, "YWJj") << "another thread's call must not replace this thread's text";

    EXPECT_STREQ(FileEncodeBase64(theirs.c_str()), "eHl6");
}

TEST(Concurrency, ManyThreadsCallingTogetherGetConsistentAnswers) {
    pictavo_test::TempDir dir;
    const std::string file = dir.write("data.bin", "abc");
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                int n = -1;
                if (camGetDevCount(&n) != kOk || n != 0) ++failures[t];
                if (camOpenDev(0, 0, 640, 480) != kNoDevice) ++failures[t];
                if (std::string(camGetDevName(0)) != "") ++failures[t];
                if (std::string(FileEncodeBase64(file.c_str())) != "YWJj") ++failures[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(failures.size(), 0));
}

}  // namespace
