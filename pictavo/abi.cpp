// The C entry points. Each one checks its pointers, hands the work to the Library object, copies
// results into the caller's buffers and stops every exception at the boundary. Only these
// functions leave the shared object (see exports.map).
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pictavo.h"
#include "pictavo/camera/file_sign.h"
#include "pictavo/file_ops.h"
#include "pictavo/library.h"
#include "pictavo/status.h"

#define PICTAVO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace pictavo;

// The caller's buffer for an IC card function's answer has no size in the C interface; the
// service passes a fixed size per function, and answers are cut to it, the terminating zero
// included. The card's answers are shorter than these.
size_t icAnswerBytes(IcOperation operation) {
    switch (operation) {
        case IcOperation::kRead:
        case IcOperation::kReadStep2:
            return 20480;
        case IcOperation::kReadDebitRecord:
            return 2048;
        case IcOperation::kVerifyPin:
        case IcOperation::kChangePin:
        case IcOperation::kReloadPin:
        case IcOperation::kReloadPinStep1:
        case IcOperation::kUnblockPin:
        case IcOperation::kUnblockPinStep1:
        case IcOperation::kDebit:
        case IcOperation::kDebitStep1:
            return 512;
        default:
            return 1024;
    }
}

Library& lib() { return Library::instance(); }

template <typename Work>
int guarded(Work&& work) noexcept {
    try {
        return work();
    } catch (...) {
        return kInternalError;
    }
}

// Keeps the text in the calling thread's `storage` until that thread calls the same function
// again, which is as long as the caller may rely on it. `work` fills a fresh string.
// clang-analyzer takes the temporaries inside `work` for `storage` and reports the returned
// pointer as dangling (cplusplus.InnerPointer); the callers that trip it carry a NOLINT.
template <typename Work>
const char* guardedText(std::string& storage, Work&& work) noexcept {
    try {
        std::string text;
        work(text);
        storage.swap(text);
    } catch (...) {
        return "";
    }
    return storage.c_str();
}

// A count output is 0 unless the answer is kOk, so a caller that only reads the count never
// sees stale or garbage numbers.
template <typename Work>
int countInto(int* count, Work&& work) {
    if (count == nullptr) return kInvalidArgument;
    *count = 0;
    int found = 0;
    const int status = work(found);
    if (status == kOk) *count = found;
    return status;
}

int sizeOf(size_t size) { return static_cast<int>(size); }

bool anyNull(std::initializer_list<const void*> pointers) {
    for (const void* p : pointers) {
        if (p == nullptr) return true;
    }
    return false;
}

// A path argument must name something.
bool badPath(const char* path) { return path == nullptr || *path == '\0'; }

// Copies at most capacity - 1 bytes and always terminates; returns the bytes copied.
size_t copyText(char* out, size_t capacity, const std::string& text) {
    if (capacity == 0) return 0;
    const size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
    return length;
}

bool inRange(size_t size, int index) { return index >= 0 && static_cast<size_t>(index) < size; }

std::string entry(const std::vector<std::string>& list, int index) {
    return inRange(list.size(), index) ? list[static_cast<size_t>(index)] : std::string();
}

template <size_t N>
int readRecord(uint8_t* out, int (CardReader::*read)(std::array<uint8_t, N>&)) {
    if (out == nullptr) return kInvalidArgument;
    std::array<uint8_t, N> record{};
    const int status = (lib().devices().cardReader().*read)(record);
    if (status == kOk) std::memcpy(out, record.data(), N);
    return status;
}

int cameraText(int dev, char* out, std::string CameraInfo::*field) {
    if (out == nullptr) return kInvalidArgument;
    CameraInfo info;
    const int status = lib().cameras().info(dev, info);
    if (status == kOk) copyText(out, 32, info.*field);
    return status;
}

int setOption(int dev, const ImageOption& option) {
    return lib().cameras().setImageOption(dev, option);
}

IcRequest icRequest(int type, const char* cardInfo = "") {
    IcRequest request;
    request.type = type;
    request.cardInfo = cardInfo;
    return request;
}

// The second and third steps carry the key the security module supplied.
IcRequest icKey(const char* key) {
    IcRequest request;
    request.key = key;
    return request;
}

int runIc(IcOperation operation, const IcRequest& request, char* out) {
    if (out == nullptr) return kInvalidArgument;
    std::string answer;
    const int status = lib().devices().icCardReader().run(operation, request, answer);
    // A card's refusal (kFailed) is an answer too: its text is all the caller ever sees of why.
    if (status == kOk || status == kFailed) copyText(out, icAnswerBytes(operation), answer);
    return status;
}

// Copies list entry `index` into a buffer whose capacity the caller passes in `size`; `size`
// receives the bytes written.
int listedInto(const std::vector<std::string>& list, int index, char* out, int* size) {
    if (!inRange(list.size(), index)) return kInvalidArgument;
    *size = sizeOf(copyText(out, static_cast<size_t>(*size), list[static_cast<size_t>(index)]));
    return kOk;
}

}  // namespace

// ---- Camera library and devices ----

PICTAVO_EXPORT int camInitCameraLib(void) {
    return guarded([] { return lib().cameras().init(); });
}

PICTAVO_EXPORT int camUnInitCameraLib(void) {
    return guarded([] { return lib().cameras().uninit(); });
}

PICTAVO_EXPORT int camGetDevCount(int* count) {
    return guarded([&] {
        return countInto(count, [](int& n) {
            n = lib().cameras().count();
            return kOk;
        });
    });
}

PICTAVO_EXPORT const char* camGetDevName(int index) {
    thread_local std::string text;
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.InnerPointer)
    return guardedText(text, [&](std::string& out) { out = lib().cameras().name(index); });
}

PICTAVO_EXPORT int camOpenDev(int devIndex, int subtype, int width, int height) {
    return guarded([&] { return lib().cameras().open(devIndex, subtype, {width, height}); });
}

PICTAVO_EXPORT int camCloseDev(int devIndex) {
    return guarded([&] { return lib().cameras().close(devIndex); });
}

PICTAVO_EXPORT int camRegCallBackPreviewImage(int dev, PreviewFrameCallback* cb) {
    return guarded([&] { return lib().cameras().setPreviewCallback(dev, cb); });
}

PICTAVO_EXPORT int camGetResolutionCount(int dev, int subtype, int* count) {
    return guarded([&] {
        return countInto(count,
                         [&](int& n) { return lib().cameras().resolutionCount(dev, subtype, n); });
    });
}

PICTAVO_EXPORT int camGetResolution(int dev, int subtype, int index, int* width, int* height) {
    return guarded([&] {
        if (anyNull({width, height})) return kInvalidArgument;
        Resolution size;
        const int status = lib().cameras().resolution(dev, subtype, index, size);
        if (status == kOk) {
            *width = size.width;
            *height = size.height;
        }
        return status;
    });
}

PICTAVO_EXPORT int camSetResolution(int dev, int width, int height) {
    return guarded([&] { return lib().cameras().setResolution(dev, {width, height}); });
}

PICTAVO_EXPORT int camGetCurResolution(int dev, int* first, int* width, int* height) {
    return guarded([&] {
        if (anyNull({first, width, height})) return kInvalidArgument;
        int isFirst = 0;
        Resolution size;
        const int status = lib().cameras().currentResolution(dev, isFirst, size);
        if (status == kOk) {
            *first = isFirst;
            *width = size.width;
            *height = size.height;
        }
        return status;
    });
}

PICTAVO_EXPORT int camGetMediaTypeCount(int dev, int* count) {
    return guarded([&] {
        return countInto(count, [&](int& n) { return lib().cameras().mediaTypeCount(dev, n); });
    });
}

PICTAVO_EXPORT const char* camGetMediaTypeName(int dev, int index) {
    thread_local std::string text;
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.InnerPointer)
    return guardedText(text,
                       [&](std::string& out) { out = lib().cameras().mediaTypeName(dev, index); });
}

PICTAVO_EXPORT int camSetMediaType(int dev, int index) {
    return guarded([&] { return lib().cameras().setMediaType(dev, index); });
}

PICTAVO_EXPORT int camGetDevType(int dev, int* type) {
    return guarded([&] {
        if (type == nullptr) return kInvalidArgument;
        CameraInfo info;
        const int status = lib().cameras().info(dev, info);
        if (status == kOk) *type = info.type;
        return status;
    });
}

PICTAVO_EXPORT int camGetDevPid(int dev, char* pid) {
    return guarded([&] { return cameraText(dev, pid, &CameraInfo::pid); });
}

PICTAVO_EXPORT int camGetDevVid(int dev, char* vid) {
    return guarded([&] { return cameraText(dev, vid, &CameraInfo::vid); });
}

PICTAVO_EXPORT int camGetDevSNEx(int dev, char* sn) {
    return guarded([&] { return cameraText(dev, sn, &CameraInfo::serial); });
}

PICTAVO_EXPORT const char* camGetDevCusSN(int dev) {
    thread_local std::string text;
    return guardedText(text, [&](std::string& out) {
        CameraInfo info;
        if (lib().cameras().info(dev, info) == kOk) out = info.customSerial;
    });
}

// ---- Capture and image settings ----

PICTAVO_EXPORT int camCaptureImageFile(int dev, const char* path) {
    return guarded([&] {
        if (badPath(path)) return kInvalidArgument;
        // With naming by barcode on, the capture goes under the code's text instead.
        return lib().cameras().capture(dev, lib().barcodes().capturePath(dev, path));
    });
}

PICTAVO_EXPORT int camSetImageAutoCrop(int dev, int cropType) {
    return guarded([&] { return setOption(dev, image_option::AutoCrop{cropType}); });
}

PICTAVO_EXPORT int camSetImageCusCropRect(int dev, int left, int top, int right, int bottom) {
    return guarded([&] {
        return setOption(dev, image_option::CropRect{left, top, right, bottom});
    });
}

PICTAVO_EXPORT int camSetImageRotateMode(int dev, int rotateMode) {
    return guarded([&] { return setOption(dev, image_option::Rotate{rotateMode}); });
}

PICTAVO_EXPORT int camSetImageDPI(int dev, int xDPI, int yDPI) {
    return guarded([&] { return setOption(dev, image_option::Dpi{xDPI, yDPI}); });
}

PICTAVO_EXPORT int camSetImageJPGQuanlity(int dev, int quality) {
    return guarded([&] { return setOption(dev, image_option::JpegQuality{quality}); });
}

PICTAVO_EXPORT int camSetImageAdjust(int dev, int type) {
    return guarded([&] { return setOption(dev, image_option::Adjust{type}); });
}

PICTAVO_EXPORT int camSetImageWaterMark(int dev, const char* msg, int type, int fontSize,
                                        const char* font, int italic, int underline, int weight,
                                        float angle, float transparent, int r, int g, int b,
                                        int isAvailable) {
    return guarded([&] {
        if (anyNull({msg, font})) return kInvalidArgument;
        return setOption(
            dev, image_option::WaterMark{msg, type, fontSize, font, italic != 0, underline != 0,
                                         weight, angle, transparent, r, g, b, isAvailable != 0});
    });
}

PICTAVO_EXPORT int camSetVideoParameter(int dev, int para1, int para2, int value, int flag) {
    return guarded([&] {
        return lib().cameras().control(dev,
                                       device_control::VideoParameter{para1, para2, value, flag});
    });
}

PICTAVO_EXPORT int camAutoFocus(int dev, int type) {
    return guarded([&] { return lib().cameras().control(dev, device_control::AutoFocus{type}); });
}

PICTAVO_EXPORT int camSetImageDenoise(int dev, int on) {
    return guarded([&] { return setOption(dev, image_option::Denoise{on != 0}); });
}

PICTAVO_EXPORT int camSetImageFillBorder(int dev, int value) {
    return guarded([&] { return setOption(dev, image_option::FillBorder{value}); });
}

PICTAVO_EXPORT int camSetImageColorStyle(int dev, int type) {
    return guarded([&] { return setOption(dev, image_option::ColorStyle{type}); });
}

PICTAVO_EXPORT int camSetImageFileSign(int dev, int on) {
    return guarded([&] { return setOption(dev, image_option::FileSign{on != 0}); });
}

PICTAVO_EXPORT int camCheckImageFileSign(const char* path, bool* signedFlag) {
    return guarded([&] {
        if (badPath(path) || signedFlag == nullptr) return kInvalidArgument;
        bool isSigned = false;
        const int status = checkImageFileSign(path, isSigned);
        if (status == kOk) *signedFlag = isSigned;
        return status;
    });
}

PICTAVO_EXPORT const char* FileEncodeBase64(const char* path) {
    thread_local std::string text;
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.InnerPointer)
    return guardedText(text, [&](std::string& out) {
        if (path != nullptr) out = encodeFileBase64(path);
    });
}

PICTAVO_EXPORT int camDeleteFile(const char* path) {
    return guarded([&] {
        if (path == nullptr) return kInvalidArgument;
        return deleteFile(path);
    });
}

PICTAVO_EXPORT int camStartAutoCapture(int dev, int type, int param, AutoCaptureCallback* cb) {
    return guarded([&] { return lib().cameras().startAutoCapture(dev, type, param, cb); });
}

PICTAVO_EXPORT int camStopAutoCapture(int dev) {
    return guarded([&] { return lib().cameras().stopAutoCapture(dev); });
}

PICTAVO_EXPORT int camCaptureBook(const char* path1, const char* path2) {
    return guarded([&] {
        if (badPath(path1) || badPath(path2)) return kInvalidArgument;
        return lib().cameras().captureBook(path1, path2);
    });
}

PICTAVO_EXPORT int camEnableBuzzer(int dev, int count, int duration, int interval) {
    return guarded([&] {
        return lib().cameras().control(dev, device_control::Buzzer{count, duration, interval});
    });
}

PICTAVO_EXPORT int camSetRemoveFinger(int param) {
    return guarded([&] { return lib().cameras().setRemoveFinger(param); });
}

// ---- Recording, documents, windows ----

PICTAVO_EXPORT int camGetAudioDevCount(int* count) {
    return guarded([&] {
        return countInto(count, [](int& n) {
            n = sizeOf(lib().cameras().audioDevices().size());
            return kOk;
        });
    });
}

PICTAVO_EXPORT const char* camGetAudioDevName(int index) {
    thread_local std::string text;
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.InnerPointer)
    return guardedText(
        text, [&](std::string& out) { out = entry(lib().cameras().audioDevices(), index); });
}

PICTAVO_EXPORT int camGetVideoEncodeCount(int* count) {
    return guarded([&] {
        return countInto(count, [](int& n) {
            n = sizeOf(lib().cameras().videoEncoders().size());
            return kOk;
        });
    });
}

PICTAVO_EXPORT int camGetVideoEncodeName(int index, char* name) {
    return guarded([&] {
        if (name == nullptr) return kInvalidArgument;
        const std::vector<std::string> encoders = lib().cameras().videoEncoders();
        if (!inRange(encoders.size(), index)) return kInvalidArgument;
        copyText(name, 256, encoders[static_cast<size_t>(index)]);
        return kOk;
    });
}

PICTAVO_EXPORT int camStartRecord(int dev, const char* path, int microphone, int videoFormat,
                                  int flag) {
    return guarded([&] {
        if (badPath(path)) return kInvalidArgument;
        return lib().cameras().startRecord(dev, RecordRequest{path, microphone, videoFormat, flag});
    });
}

PICTAVO_EXPORT int camStopRecord(int dev) {
    return guarded([&] { return lib().cameras().stopRecord(dev); });
}

PICTAVO_EXPORT int camAddFileToPDFList(const char* path) {
    return guarded([&] {
        if (badPath(path)) return kInvalidArgument;
        return lib().imaging().addToPdfList(path);
    });
}

PICTAVO_EXPORT int camCombinePDF(const char* pdfPath, int jpegQuality) {
    return guarded([&] {
        if (badPath(pdfPath)) return kInvalidArgument;
        return lib().imaging().combinePdf(pdfPath, jpegQuality);
    });
}

// The two reserved arguments carry nothing.
PICTAVO_EXPORT int camCombineImage(const char* path1, const char* path2, const char* outPath,
                                   int type, int offsetX, int offsetY, int, int) {
    return guarded([&] {
        if (badPath(path1) || badPath(path2) || badPath(outPath)) return kInvalidArgument;
        return lib().imaging().combineImages(
            CombineRequest{path1, path2, outPath, type, offsetX, offsetY});
    });
}

PICTAVO_EXPORT int camShowImage(const char* path) {
    return guarded([&] {
        if (badPath(path)) return kInvalidArgument;
        return lib().imaging().show(path);
    });
}

PICTAVO_EXPORT int camShowImageSettingWindow(int dev) {
    return guarded([&] { return lib().cameras().showSettingsWindow(dev, SettingsWindow::kImage); });
}

PICTAVO_EXPORT int camShowDevSettingWindow(int dev) {
    return guarded(
        [&] { return lib().cameras().showSettingsWindow(dev, SettingsWindow::kDevice); });
}

// ---- Card readers ----

PICTAVO_EXPORT int idcardrfidInit(void) {
    return guarded([] { return lib().devices().cardReader().init(); });
}

PICTAVO_EXPORT int idcardrfidUnInit(void) {
    return guarded([] { return lib().devices().cardReader().uninit(); });
}

PICTAVO_EXPORT int idcardrfidReadIDCard(uint8_t* record, const char* photoPath) {
    return guarded([&] {
        if (anyNull({record, photoPath})) return kInvalidArgument;
        IdCardRecord read{};
        const int status = lib().devices().cardReader().readIdCard(read, photoPath);
        // kFileError: the card was read, only its photo could not be written; the fields are
        // still the card's.
        if (status == kOk || status == kFileError) std::memcpy(record, read.data(), read.size());
        return status;
    });
}

PICTAVO_EXPORT int idcardrfidGetIDCardImage(int type, const char* frontPath, const char* backPath) {
    return guarded([&] {
        if (anyNull({frontPath, backPath})) return kInvalidArgument;
        return lib().devices().cardReader().saveIdCardImages(type, frontPath, backPath);
    });
}

PICTAVO_EXPORT int idcardrfidGetOneFingerprintMsg(int index, uint8_t* message, int* status) {
    return guarded([&] {
        if (anyNull({message, status})) return kInvalidArgument;
        IdFingerprintMessage read{};
        int readStatus = 0;
        const int result = lib().devices().cardReader().readIdFingerprint(index, read, readStatus);
        if (result == kOk) {
            std::memcpy(message, read.data(), read.size());
            *status = readStatus;
        }
        return result;
    });
}

PICTAVO_EXPORT int camGetSsseInfo(uint8_t* record) {
    return guarded([&] { return readRecord(record, &CardReader::readSocialCard); });
}

PICTAVO_EXPORT int camGetBankCardInfo(uint8_t* text) {
    return guarded([&] { return readRecord(text, &CardReader::readBankCard); });
}

PICTAVO_EXPORT int camGetMagCard(uint8_t* record) {
    return guarded([&] { return readRecord(record, &CardReader::readMagCard); });
}

// ---- IC card family ----

PICTAVO_EXPORT int CamReadCardBas(int iType, char* out) {
    return guarded([&] { return runIc(IcOperation::kReadBasic, icRequest(iType), out); });
}

PICTAVO_EXPORT int CamReadCardBas_HSM_Step1(int iType, char* out) {
    return guarded([&] { return runIc(IcOperation::kReadBasicStep1, icRequest(iType), out); });
}

PICTAVO_EXPORT int CamReadCardBas_HSM_Step2(const char* pKey, char* out) {
    return guarded([&] {
        if (pKey == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kReadBasicStep2, icKey(pKey), out);
    });
}

PICTAVO_EXPORT int CamReadCard(int iType, int iAuthType, const char* pCardInfo,
                               const char* pFileAddr, char* out) {
    return guarded([&] {
        if (anyNull({pCardInfo, pFileAddr})) return kInvalidArgument;
        IcRequest request = icRequest(iType, pCardInfo);
        request.authType = iAuthType;
        request.fileAddress = pFileAddr;
        return runIc(IcOperation::kRead, request, out);
    });
}

PICTAVO_EXPORT int CamReadCard_HSM_Step1(int iType, const char* pCardInfo, const char* pFileAddr,
                                         char* out) {
    return guarded([&] {
        if (anyNull({pCardInfo, pFileAddr})) return kInvalidArgument;
        IcRequest request = icRequest(iType, pCardInfo);
        request.fileAddress = pFileAddr;
        return runIc(IcOperation::kReadStep1, request, out);
    });
}

PICTAVO_EXPORT int CamReadCard_HSM_Step2(const char* pKey, char* out) {
    return guarded([&] {
        if (pKey == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kReadStep2, icKey(pKey), out);
    });
}

PICTAVO_EXPORT int CamWriteCard(int iType, const char* pCardInfo, const char* pFileAddr,
                                const char* pWriteData, char* out) {
    return guarded([&] {
        if (anyNull({pCardInfo, pFileAddr, pWriteData})) return kInvalidArgument;
        IcRequest request = icRequest(iType, pCardInfo);
        request.fileAddress = pFileAddr;
        request.writeData = pWriteData;
        return runIc(IcOperation::kWrite, request, out);
    });
}

PICTAVO_EXPORT int CamWriteCard_HSM_Step1(int iType, const char* pCardInfo, const char* pFileAddr,
                                          char* out) {
    return guarded([&] {
        if (anyNull({pCardInfo, pFileAddr})) return kInvalidArgument;
        IcRequest request = icRequest(iType, pCardInfo);
        request.fileAddress = pFileAddr;
        return runIc(IcOperation::kWriteStep1, request, out);
    });
}

PICTAVO_EXPORT int CamWriteCard_HSM_Step2(const char* pKey, const char* pWriteData, char* out) {
    return guarded([&] {
        if (anyNull({pKey, pWriteData})) return kInvalidArgument;
        IcRequest request = icKey(pKey);
        request.writeData = pWriteData;
        return runIc(IcOperation::kWriteStep2, request, out);
    });
}

PICTAVO_EXPORT int CamVerifyPIN(int iType, char* out) {
    return guarded([&] { return runIc(IcOperation::kVerifyPin, icRequest(iType), out); });
}

PICTAVO_EXPORT int CamChangePIN(int iType, char* out) {
    return guarded([&] { return runIc(IcOperation::kChangePin, icRequest(iType), out); });
}

PICTAVO_EXPORT int CamReloadPIN(int iType, const char* pCardInfo, char* out) {
    return guarded([&] {
        if (pCardInfo == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kReloadPin, icRequest(iType, pCardInfo), out);
    });
}

PICTAVO_EXPORT int CamReloadPIN_HSM_Step1(int iType, const char* pCardInfo, char* out) {
    return guarded([&] {
        if (pCardInfo == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kReloadPinStep1, icRequest(iType, pCardInfo), out);
    });
}

PICTAVO_EXPORT int CamReloadPIN_HSM_Step2(const char* pKey, char* out) {
    return guarded([&] {
        if (pKey == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kReloadPinStep2, icKey(pKey), out);
    });
}

PICTAVO_EXPORT int CamUnblockPIN(int iType, const char* pCardInfo, char* out) {
    return guarded([&] {
        if (pCardInfo == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kUnblockPin, icRequest(iType, pCardInfo), out);
    });
}

PICTAVO_EXPORT int CamUnblockPIN_HSM_Step1(int iType, const char* pCardInfo, char* out) {
    return guarded([&] {
        if (pCardInfo == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kUnblockPinStep1, icRequest(iType, pCardInfo), out);
    });
}

PICTAVO_EXPORT int CamUnblockPIN_HSM_Step2(const char* pKey, char* out) {
    return guarded([&] {
        if (pKey == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kUnblockPinStep2, icKey(pKey), out);
    });
}

PICTAVO_EXPORT int CamUnblockPIN_HSM_Step3(const char* pKey, char* out) {
    return guarded([&] {
        if (pKey == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kUnblockPinStep3, icKey(pKey), out);
    });
}

PICTAVO_EXPORT int CamDoDebit(int iType, const char* pCardInfo, const char* pPayInfo, char* out) {
    return guarded([&] {
        if (anyNull({pCardInfo, pPayInfo})) return kInvalidArgument;
        IcRequest request = icRequest(iType, pCardInfo);
        request.payInfo = pPayInfo;
        return runIc(IcOperation::kDebit, request, out);
    });
}

PICTAVO_EXPORT int CamDoDebit_HSM_Step1(int iType, const char* pCardInfo, const char* pPayInfo,
                                        char* out) {
    return guarded([&] {
        if (anyNull({pCardInfo, pPayInfo})) return kInvalidArgument;
        IcRequest request = icRequest(iType, pCardInfo);
        request.payInfo = pPayInfo;
        return runIc(IcOperation::kDebitStep1, request, out);
    });
}

PICTAVO_EXPORT int CamDoDebit_HSM_Step2(const char* pKey, char* out) {
    return guarded([&] {
        if (pKey == nullptr) return kInvalidArgument;
        return runIc(IcOperation::kDebitStep2, icKey(pKey), out);
    });
}

PICTAVO_EXPORT int CamReadDebitRecord(int iType, char* out) {
    return guarded([&] { return runIc(IcOperation::kReadDebitRecord, icRequest(iType), out); });
}

// ---- Biometrics ----

PICTAVO_EXPORT int fingerprintInit(void) {
    return guarded([] { return lib().devices().fingerprintSensor().init(); });
}

PICTAVO_EXPORT int fingerprintUnInit(void) {
    return guarded([] { return lib().devices().fingerprintSensor().uninit(); });
}

PICTAVO_EXPORT int fingerprintGetImage(uint8_t* image, uint8_t* raw) {
    return guarded([&] {
        if (anyNull({image, raw})) return kInvalidArgument;
        return lib().devices().fingerprintSensor().captureImage(image, raw);
    });
}

PICTAVO_EXPORT int fingerprintGetFeature(uint8_t* raw, uint8_t* feature) {
    return guarded([&] {
        if (anyNull({raw, feature})) return kInvalidArgument;
        return lib().devices().fingerprintSensor().extractFeature(raw, feature);
    });
}

PICTAVO_EXPORT int fingerprintContrast(uint8_t* feature1, uint8_t* feature2) {
    return guarded([&] {
        if (anyNull({feature1, feature2})) return kInvalidArgument;
        return lib().devices().fingerprintSensor().compare(feature1, feature2);
    });
}

PICTAVO_EXPORT int camInitFace(void) {
    return guarded([] { return lib().face().init(); });
}

PICTAVO_EXPORT int camUnInitFace(void) {
    return guarded([] { return lib().face().uninit(); });
}

PICTAVO_EXPORT int camMatchFaceByFile(const char* path1, const char* path2, int* score) {
    return guarded([&] {
        if (badPath(path1) || badPath(path2) || score == nullptr) return kInvalidArgument;
        int similarity = 0;
        const int status = lib().face().matchFiles(path1, path2, similarity);
        if (status == kOk) *score = similarity;
        return status;
    });
}

PICTAVO_EXPORT int camMatchFaceByBase64(const char* image1, const char* image2, int* score) {
    return guarded([&] {
        if (badPath(image1) || badPath(image2) || score == nullptr) return kInvalidArgument;
        int similarity = 0;
        const int status = lib().face().matchImages(image1, image2, similarity);
        if (status == kOk) *score = similarity;
        return status;
    });
}

// The video path is accepted and not used: the live picture is compared, nothing is recorded.
PICTAVO_EXPORT int camMatchFaceByFileVideo(int dev, const char* path, int* score,
                                           const char* videoPath, int milliseconds) {
    return guarded([&] {
        if (badPath(path) || anyNull({score, videoPath})) return kInvalidArgument;
        if (!lib().cameras().exists(dev)) return kNoDevice;
        int similarity = 0;
        const int status = lib().face().matchFileWithCamera(dev, path, milliseconds, similarity);
        if (status == kOk) *score = similarity;
        return status;
    });
}

PICTAVO_EXPORT int camMatchFaceByBase64Video(int dev, const char* image, int* score,
                                             const char* videoPath, int milliseconds) {
    return guarded([&] {
        if (badPath(image) || anyNull({score, videoPath})) return kInvalidArgument;
        if (!lib().cameras().exists(dev)) return kNoDevice;
        int similarity = 0;
        const int status =
            lib().face().matchImageWithCamera(dev, image, milliseconds, similarity);
        if (status == kOk) *score = similarity;
        return status;
    });
}

PICTAVO_EXPORT int camSetLivingBodyState(int on) {
    return guarded([&] { return lib().face().setLivenessCheck(on != 0); });
}

// ---- Recognition ----

PICTAVO_EXPORT int coderRecognizeBarcode(const char* path, uint8_t* results) {
    return guarded([&] {
        if (badPath(path) || results == nullptr) return kInvalidArgument;
        std::vector<BarcodeResult> found;
        const int status = lib().barcodes().recognize(path, found);
        if (status != kOk) return status;
        // Too large for the stack of a small thread.
        auto set = std::make_unique<BarcodeResultSet>();
        std::memset(set.get(), 0, sizeof(BarcodeResultSet));
        const size_t kept = found.size() < 64 ? found.size() : 64;
        for (size_t i = 0; i < kept; ++i) set->results[i] = found[i];
        set->count = static_cast<int32_t>(kept);
        std::memcpy(results, set.get(), sizeof(BarcodeResultSet));
        return kOk;
    });
}

PICTAVO_EXPORT int coderNameByBarcode(int dev, int on) {
    return guarded([&] { return lib().barcodes().setNameByBarcode(dev, on != 0); });
}

PICTAVO_EXPORT int ocrRecognizeBarcode(const char* path, int codeType, int* count) {
    return guarded([&] {
        return countInto(count, [&](int& n) {
            if (badPath(path)) return kInvalidArgument;
            return lib().barcodes().recognizeToList(path, codeType, std::nullopt, n);
        });
    });
}

PICTAVO_EXPORT int ocrRecognizeBarcodeRect(const char* path, int codeType, int left, int top,
                                           int right, int bottom, int* count) {
    return guarded([&] {
        return countInto(count, [&](int& n) {
            if (badPath(path)) return kInvalidArgument;
            return lib().barcodes().recognizeToList(path, codeType, Area{left, top, right, bottom},
                                                    n);
        });
    });
}

PICTAVO_EXPORT int ocrGetBarcodeText(int index, char* text, int* size) {
    return guarded([&] {
        if (anyNull({text, size}) || *size <= 0) return kInvalidArgument;
        std::string found;
        const int status = lib().barcodes().listedText(index, found);
        if (status == kOk) *size = sizeOf(copyText(text, static_cast<size_t>(*size), found));
        return status;
    });
}

PICTAVO_EXPORT int ocrGetLanguageCount(int* count) {
    return guarded([&] {
        return countInto(count, [](int& n) {
            n = sizeOf(lib().ocr().languages().size());
            return kOk;
        });
    });
}

PICTAVO_EXPORT int ocrGetLanguageName(int index, char* name) {
    return guarded([&] {
        if (name == nullptr) return kInvalidArgument;
        const std::vector<std::string> languages = lib().ocr().languages();
        if (!inRange(languages.size(), index)) return kInvalidArgument;
        copyText(name, 128, languages[static_cast<size_t>(index)]);
        return kOk;
    });
}

PICTAVO_EXPORT int ocrAddImageFileToOCRList(const char* path) {
    return guarded([&] {
        if (badPath(path)) return kInvalidArgument;
        return lib().ocr().addImage(path);
    });
}

PICTAVO_EXPORT int ocrCombineToFile(const char* path, int language) {
    return guarded([&] {
        if (badPath(path)) return kInvalidArgument;
        return lib().ocr().combineToFile(path, language);
    });
}

PICTAVO_EXPORT int ocrCombineToString(int language, char* text) {
    return guarded([&] {
        if (text == nullptr) return kInvalidArgument;
        std::string combined;
        const int status = lib().ocr().combineToText(language, combined);
        if (status == kOk) copyText(text, 10000, combined);
        return status;
    });
}

PICTAVO_EXPORT int otrUnInit(void) {
    return guarded([] { return lib().templates().uninit(); });
}

PICTAVO_EXPORT int otrGetTemplateCount(int* count) {
    return guarded([&] {
        return countInto(count, [](int& n) {
            n = sizeOf(lib().templates().templates().size());
            return kOk;
        });
    });
}

PICTAVO_EXPORT int otrGetTemplateInfo(int index, char* name, int* size) {
    return guarded([&] {
        if (anyNull({name, size}) || *size <= 0) return kInvalidArgument;
        return listedInto(lib().templates().templates(), index, name, size);
    });
}

PICTAVO_EXPORT int otrRecog(int templateIndex, const char* imagePath) {
    return guarded([&] {
        if (badPath(imagePath)) return kInvalidArgument;
        return lib().templates().recognize(templateIndex, imagePath);
    });
}

PICTAVO_EXPORT int otrGetResultCount(int* count) {
    return guarded([&] {
        return countInto(count, [](int& n) {
            n = sizeOf(lib().templates().results().size());
            return kOk;
        });
    });
}

PICTAVO_EXPORT int otrGetResultInfo(int index, char* name, char* value) {
    return guarded([&] {
        if (anyNull({name, value})) return kInvalidArgument;
        const std::vector<TemplateField> results = lib().templates().results();
        if (!inRange(results.size(), index)) return kInvalidArgument;
        const TemplateField& field = results[static_cast<size_t>(index)];
        copyText(name, 1024, field.name);
        copyText(value, 10000, field.value);
        return kOk;
    });
}

// ---- Signature pad and upload ----

PICTAVO_EXPORT int signInit(void) {
    return guarded([] { return lib().devices().signPad().init(); });
}

PICTAVO_EXPORT int signSetSaveCallBack(SignSavedCallback* cb) {
    return guarded([&] { return lib().devices().setSignSavedCallback(cb); });
}

PICTAVO_EXPORT int signSetParam(SignParam param) {
    return guarded([&] {
        if (param.filepath == nullptr) return kInvalidArgument;
        SignSettings settings{param, param.filepath};
        settings.values.filepath = nullptr;
        return lib().devices().signPad().configure(settings);
    });
}

PICTAVO_EXPORT int signOutPutFile(const char* path) {
    return guarded([&] {
        if (badPath(path)) return kInvalidArgument;
        return lib().devices().signPad().saveTo(path);
    });
}

PICTAVO_EXPORT int signStartWriteDeveiceAPI(void) {
    return guarded([] { return lib().devices().signPad().startWriting(); });
}

PICTAVO_EXPORT int signStopWriteDeviceAPI(void) {
    return guarded([] { return lib().devices().signPad().stopWriting(); });
}

PICTAVO_EXPORT int camUpdataFileHttp(const char* filePath, const char* url, const char* param,
                                     char* answer) {
    return guarded([&] {
        if (badPath(filePath) || badPath(url) || anyNull({param, answer})) return kInvalidArgument;
        std::string reply;
        const int status = lib().uploader().postHttp(filePath, url, param, reply);
        // Unlike other failures, a server's refusal still fills the buffer: the page shows what
        // the server said.
        if (!reply.empty()) copyText(answer, kHttpAnswerCapacity, reply);
        return status;
    });
}

PICTAVO_EXPORT int camUpdataFileFtpEx(const char* filePath, const char* ftpPath, const char* user,
                                      const char* password, int port, const char* targetName) {
    return guarded([&] {
        if (badPath(filePath) || anyNull({ftpPath, user, password, targetName}))
            return kInvalidArgument;
        return lib().uploader().putFtp(filePath,
                                       FtpTarget{ftpPath, user, password, port, targetName});
    });
}
