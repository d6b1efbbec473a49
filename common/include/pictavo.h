// The capture library's C interface: every function the service may call, and the rules of the
// boundary. The service links libpictavo.so dynamically; a library built from another source
// that exports the same symbols can take its place without rebuilding the service.
//
// Ownership and lifetime, stated once for every function below:
// - `const char*` arguments are inputs, zero-terminated, in the internal code page, and are valid
//   only for the duration of the call.
// - `char*`, `uint8_t*` and `int*` arguments are outputs into buffers the caller owns. The caller
//   zero-fills or presets them; the size in the comment is the size the caller passes (the
//   library is never told it, except where a size argument exists). An `int*` preset is what the
//   caller sees when the library writes nothing.
// - A returned `const char*` points into memory the library owns. The caller copies it at once,
//   never frees it, and may rely on it only until the next call of the same function on the same
//   thread. A null pointer reads as the empty text.
// - Callbacks may be called on any thread of the library's, at any time after registration.
// - `int` results are statuses unless the row says otherwise: 0 success, negative failure.
// - Card records carry UTF-16LE text (16-bit units); every other text is a byte string.
#pragma once

#include <cstdint>

extern "C" {

// Preview frame: width*height*3 bytes, B,G,R per pixel, rows of width*3 bytes, bottom row first.
// The callee may draw into the pixels during the call.
typedef bool PreviewFrameCallback(uint8_t* pixels, int width, int height, int spare);
typedef bool AutoCaptureCallback(int event);
typedef bool SignSavedCallback(bool saved);

// Record sizes in bytes (layouts in the comments; offsets in bytes, widths in 16-bit units).
// IdCardRecord: nine UTF-16 fields at 0, 60, 68, 108, 140, 280, 352, 412, 444 with widths
//   30, 4, 20, 16, 70, 36, 30, 16, 16; bytes 476..775 belong to the library.
enum { PICTAVO_ID_CARD_RECORD_SIZE = 776 };
// SocialCardRecord: six UTF-16 fields at 0, 40, 80, 120, 160, 260 with widths 20, 20, 20, 20, 50, 22.
enum { PICTAVO_SOCIAL_CARD_RECORD_SIZE = 304 };
// BankCardText: one UTF-16 text of at most 53 units plus its zero unit.
enum { PICTAVO_BANK_CARD_TEXT_SIZE = 108 };
// MagCardRecord: three UTF-16 fields of 200 units at 0, 400, 800.
enum { PICTAVO_MAG_CARD_RECORD_SIZE = 1200 };

struct BarcodeResult {
    char text1[256];
    char text2[1024];
    int32_t values1[4];
    int32_t values2[4];
    int32_t value3;
    int32_t value4;
};
static_assert(sizeof(BarcodeResult) == 1320, "BarcodeResult is 1320 bytes");

struct BarcodeResultSet {
    BarcodeResult results[64];
    int32_t count;
};
static_assert(sizeof(BarcodeResultSet) == 84484, "BarcodeResultSet is 84484 bytes");

// Passed by value.
struct SignParam {
    int32_t left, ntop, right, bottom;
    int32_t BR, BG, BB, BT;
    int32_t R, G, B;
    int32_t nBackNum;
    const char* filepath;
};

// ---- Camera library and devices ----
int camInitCameraLib(void);
int camUnInitCameraLib(void);
int camGetDevCount(int* count);
const char* camGetDevName(int index);
int camOpenDev(int devIndex, int subtype, int width, int height);
int camCloseDev(int devIndex);
int camRegCallBackPreviewImage(int dev, PreviewFrameCallback* cb);
int camGetResolutionCount(int dev, int subtype, int* count);
int camGetResolution(int dev, int subtype, int index, int* width, int* height);
int camSetResolution(int dev, int width, int height);
int camGetCurResolution(int dev, int* first, int* width, int* height);
int camGetMediaTypeCount(int dev, int* count);
const char* camGetMediaTypeName(int dev, int index);
int camSetMediaType(int dev, int index);
int camGetDevType(int dev, int* type);
int camGetDevPid(int dev, char* pid /*[32]*/);
int camGetDevVid(int dev, char* vid /*[32]*/);
int camGetDevSNEx(int dev, char* sn /*[32]*/);
const char* camGetDevCusSN(int dev);

// ---- Capture and image settings ----
int camCaptureImageFile(int dev, const char* path);
int camSetImageAutoCrop(int dev, int cropType);
int camSetImageCusCropRect(int dev, int left, int top, int right, int bottom);
int camSetImageRotateMode(int dev, int rotateMode);
int camSetImageDPI(int dev, int xDPI, int yDPI);
int camSetImageJPGQuanlity(int dev, int quality);
int camSetImageAdjust(int dev, int type);
int camSetImageWaterMark(int dev, const char* msg, int type, int fontSize, const char* font,
                         int italic, int underline, int weight, float angle, float transparent,
                         int r, int g, int b, int isAvailable);
int camSetVideoParameter(int dev, int para1, int para2, int value, int flag);
int camAutoFocus(int dev, int type);
int camSetImageDenoise(int dev, int on);
int camSetImageFillBorder(int dev, int value);
int camSetImageColorStyle(int dev, int type);
int camSetImageFileSign(int dev, int on);
int camCheckImageFileSign(const char* path, bool* signedFlag);
const char* FileEncodeBase64(const char* path);
int camDeleteFile(const char* path);
int camStartAutoCapture(int dev, int type, int param, AutoCaptureCallback* cb);
int camStopAutoCapture(int dev);
int camCaptureBook(const char* path1, const char* path2);
int camEnableBuzzer(int dev, int count, int duration, int interval);
int camSetRemoveFinger(int param);

// ---- Recording, documents, windows ----
int camGetAudioDevCount(int* count);
const char* camGetAudioDevName(int index);
int camGetVideoEncodeCount(int* count);
int camGetVideoEncodeName(int index, char* name /*[256]*/);
int camStartRecord(int dev, const char* path, int microphone, int videoFormat, int flag);
int camStopRecord(int dev);
int camAddFileToPDFList(const char* path);
int camCombinePDF(const char* pdfPath, int jpegQuality);
int camCombineImage(const char* path1, const char* path2, const char* outPath, int type,
                    int offsetX, int offsetY, int reserved1, int reserved2);
int camShowImage(const char* path);
int camShowImageSettingWindow(int dev);
int camShowDevSettingWindow(int dev);

// ---- Card readers ----
int idcardrfidInit(void);
int idcardrfidUnInit(void);
int idcardrfidReadIDCard(uint8_t* record /*[PICTAVO_ID_CARD_RECORD_SIZE]*/, const char* photoPath);
int idcardrfidGetIDCardImage(int type, const char* frontPath, const char* backPath);
int idcardrfidGetOneFingerprintMsg(int index, uint8_t* message /*[1024]*/, int* status);
int camGetSsseInfo(uint8_t* record /*[PICTAVO_SOCIAL_CARD_RECORD_SIZE]*/);
int camGetBankCardInfo(uint8_t* text /*[PICTAVO_BANK_CARD_TEXT_SIZE]*/);
int camGetMagCard(uint8_t* record /*[PICTAVO_MAG_CARD_RECORD_SIZE]*/);

// ---- IC card family: every function ends with `out`, the output text buffer, of the size
// noted; the library writes at most that many bytes, terminator included ----
int CamReadCardBas(int iType, char* out /*[1024]*/);
int CamReadCardBas_HSM_Step1(int iType, char* out /*[1024]*/);
int CamReadCardBas_HSM_Step2(const char* pKey, char* out /*[1024]*/);
int CamReadCard(int iType, int iAuthType, const char* pCardInfo, const char* pFileAddr,
                char* out /*[20480]*/);
int CamReadCard_HSM_Step1(int iType, const char* pCardInfo, const char* pFileAddr,
                          char* out /*[1024]*/);
int CamReadCard_HSM_Step2(const char* pKey, char* out /*[20480]*/);
int CamWriteCard(int iType, const char* pCardInfo, const char* pFileAddr, const char* pWriteData,
                 char* out /*[1024]*/);
int CamWriteCard_HSM_Step1(int iType, const char* pCardInfo, const char* pFileAddr,
                           char* out /*[1024]*/);
int CamWriteCard_HSM_Step2(const char* pKey, const char* pWriteData, char* out /*[1024]*/);
int CamVerifyPIN(int iType, char* out /*[512]*/);
int CamChangePIN(int iType, char* out /*[512]*/);
int CamReloadPIN(int iType, const char* pCardInfo, char* out /*[512]*/);
int CamReloadPIN_HSM_Step1(int iType, const char* pCardInfo, char* out /*[512]*/);
int CamReloadPIN_HSM_Step2(const char* pKey, char* out /*[1024]*/);
int CamUnblockPIN(int iType, const char* pCardInfo, char* out /*[512]*/);
int CamUnblockPIN_HSM_Step1(int iType, const char* pCardInfo, char* out /*[512]*/);
int CamUnblockPIN_HSM_Step2(const char* pKey, char* out /*[1024]*/);
int CamUnblockPIN_HSM_Step3(const char* pKey, char* out /*[1024]*/);
int CamDoDebit(int iType, const char* pCardInfo, const char* pPayInfo, char* out /*[512]*/);
int CamDoDebit_HSM_Step1(int iType, const char* pCardInfo, const char* pPayInfo,
                         char* out /*[512]*/);
int CamDoDebit_HSM_Step2(const char* pKey, char* out /*[1024]*/);
int CamReadDebitRecord(int iType, char* out /*[2048]*/);

// ---- Biometrics ----
int fingerprintInit(void);
int fingerprintUnInit(void);
int fingerprintGetImage(uint8_t* image /*[262144]*/, uint8_t* raw /*[262144]*/);
int fingerprintGetFeature(uint8_t* raw, uint8_t* feature /*[1024]*/);
int fingerprintContrast(uint8_t* feature1, uint8_t* feature2);
int camInitFace(void);
int camUnInitFace(void);
int camMatchFaceByFile(const char* path1, const char* path2, int* score);
int camMatchFaceByBase64(const char* image1, const char* image2, int* score);
int camMatchFaceByFileVideo(int dev, const char* path, int* score, const char* videoPath,
                            int milliseconds);
int camMatchFaceByBase64Video(int dev, const char* image, int* score, const char* videoPath,
                              int milliseconds);
int camSetLivingBodyState(int on);

// ---- Recognition ----
int coderRecognizeBarcode(const char* path, uint8_t* results /*BarcodeResultSet*/);
int coderNameByBarcode(int dev, int on);
int ocrRecognizeBarcode(const char* path, int codeType, int* count);
int ocrRecognizeBarcodeRect(const char* path, int codeType, int left, int top, int right,
                            int bottom, int* count);
int ocrGetBarcodeText(int index, char* text /*[2048]*/, int* size /*in: 2048*/);
int ocrGetLanguageCount(int* count);
int ocrGetLanguageName(int index, char* name /*[128]*/);
int ocrAddImageFileToOCRList(const char* path);
int ocrCombineToFile(const char* path, int language);
int ocrCombineToString(int language, char* text /*[10000]*/);
int otrUnInit(void);
int otrGetTemplateCount(int* count);
int otrGetTemplateInfo(int index, char* name /*[1024]*/, int* size /*in: 1024*/);
int otrRecog(int templateIndex, const char* imagePath);
int otrGetResultCount(int* count);
int otrGetResultInfo(int index, char* name /*[1024]*/, char* value /*[10000]*/);

// ---- Signature pad and upload ----
int signInit(void);
int signSetSaveCallBack(SignSavedCallback* cb);
int signSetParam(SignParam param);
int signOutPutFile(const char* path);
int signStartWriteDeveiceAPI(void);
int signStopWriteDeviceAPI(void);
int camUpdataFileHttp(const char* filePath, const char* url, const char* param,
                      char* answer /*[51200]*/);
int camUpdataFileFtpEx(const char* filePath, const char* ftpPath, const char* user,
                       const char* password, int port, const char* targetName);

}  // extern "C"
