#include "service/dispatch.h"

#include <gtest/gtest.h>

#include <set>

#include "common/code_page.h"
#include "fake_pictavo.h"
#include "files/text_encoding.h"
#include "service_harness.h"

namespace lenvaro {
namespace {

using lenvaro::testing::ServiceHarness;
using pictavo_fake::Fake;
using pictavo_fake::Outcome;

// The protocol's command names, as pages send them.
const char* const kProtocolNames[] = {
    "camInitCameraLib", "camUnInitCameraLib", "PreZoneSize", "camOpenDev",
    "idcardrfidGetIDCardImage", "idcardrfidGetOneFingerprintMsg", "GetFingerprint",
    "ContrastFingerprintBase64", "ContrastFingerprint", "EnableBuzzer", "camCaptureBook",
    "camSetRemoveFinger", "camCloseDev", "camGetDevCount", "camGetDevName",
    "camGetResolutionCount", "camGetResolution", "camSetResolution", "camCaptureImageFile",
    "camSetImageAutoCrop", "camSetImageRotateMode", "camSetImageCusCropRect", "camSetImageDPI",
    "FileEncodeBase64", "CaptureEncodeBase64", "idcardrfidReadIDCard", "idcardrfidReadIDCardEx",
    "ReadSBKCaard", "ReadBankCard", "ReadMagneticCard", "fingerprintInit", "fingerprintUnInit",
    "CollectFingerFeature", "CompareFingerFeature", "camStartAutoCapture", "camStopAutoCapture",
    "camUpdataFileHttp", "getFolderDayFileA", "camDeleteFile", "camSetImageJPGQuanlity",
    "DeleteFolderDayFileA", "camInitFace", "camUnInitFace", "camMatchFaceByFileVideo",
    "camMatchFaceByBase64Video", "camStartAsyMatchFaceBase64Video", "camMatchFaceByFile",
    "camMatchFaceByBase64", "camSetLivingBodyState", "camGetAudioDevCount", "camGetAudioDevName",
    "camGetVideoEncodeCount", "camGetVideoEncodeName", "camStartRecord", "camStopRecord",
    "camGetMicrophoneVolumeLevel", "camSetImageAdjust", "camAddFileToPDFList", "camCombinePDF",
    "camCombineImage", "camShowImage", "camShowImageSettingWindow", "camShowDevSettingWindow",
    "camSetImageWaterMark", "camSetVideoParameter", "coderRecognizeBarcode", "coderNameByBarcode",
    "ocrRecognizeBarcode", "ocrRecognizeBarcodeRect", "ocrGetBarcodeText", "camGetDevType",
    "camGetDevPid", "camGetDevVid", "camGetMediaTypeCount", "camGetMediaTypeName",
    "camSetMediaType", "camGetCurResolution", "camGetDevSN", "camGetDevCusSN", "camAutoFocus",
    "camSetImageDenoise", "camSetImageFillBorder", "camSetImageColorStyle", "camSetImageFileSign",
    "camCheckImageFileSign", "camUpdataFileFtp", "ocrGetLanguageCount", "ocrGetLanguageName",
    "ocrAddImageFileToOCRList", "ocrCombineToFile", "ocrCombineSingleToFile", "ocrCombineToString",
    "ocrCombineSingleToString", "otrUnInit", "otrGetTemplateCount ", "otrGetTemplateInfo ",
    "OtrRecog ", "StartSignDevice", "BeginSignMode", "EndSignMode", "signOutPutFile",
    "SetSignDeviceSN", "XoOutputImageBase64", "iReadCardBas", "iReadCardBas_HSM_Step1",
    "iReadCardBas_HSM_Step2", "iReadCard", "iReadCard_HSM_Step1", "iReadCard_HSM_Step2",
    "iWriteCard", "iWriteCard_HSM_Step1", "iWriteCard_HSM_Step2", "iVerifyPIN", "iChangePIN",
    "iReloadPIN", "iReloadPIN_HSM_Step1", "iReloadPIN_HSM_Step2", "iUnblockPIN_HSM_Step3",
    "iUnblockPIN", "iUnblockPIN_HSM_Step1", "iUnblockPIN_HSM_Step2", "iDoDebit",
    "iDoDebit_HSM_Step1", "iDoDebit_HSM_Step2", "iReadDebitRecord", "iReadICCardNum",
    "iReadIdentityCard",
};

TEST(CommandTable, HoldsExactlyTheProtocolNamesOnce) {
    const auto& entries = CommandTable::instance().entries();
    ASSERT_EQ(std::size(kProtocolNames), 127u);
    ASSERT_EQ(entries.size(), 127u);
    std::set<std::string> tableNames;
    for (const CommandEntry& entry : entries) tableNames.insert(std::string(entry.name));
    EXPECT_EQ(tableNames.size(), 127u);
    for (const char* name : kProtocolNames) {
        const CommandEntry* entry = CommandTable::instance().find(name);
        ASSERT_NE(entry, nullptr) << '"' << name << '"';
        EXPECT_EQ(entry->name, name);
    }
}

TEST(CommandTable, GroupsFollowTheRoutingOrder) {
    const auto& entries = CommandTable::instance().entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        const CommandGroup expected = i < 4 ? CommandGroup::Preamble
                                    : i < 12 ? CommandGroup::SecondTable
                                             : CommandGroup::Main;
        EXPECT_EQ(entries[i].group, expected) << entries[i].name;
        EXPECT_EQ(entries[i].name, kProtocolNames[i]);
    }
}

TEST(CommandTable, LookupIsExact) {
    const CommandTable& table = CommandTable::instance();
    EXPECT_NE(table.find("otrGetTemplateCount "), nullptr);
    EXPECT_EQ(table.find("otrGetTemplateCount"), nullptr);
    EXPECT_EQ(table.find("camgetdevcount"), nullptr);
    EXPECT_EQ(table.find(std::string_view("camGetDevCount\0x", 16)), nullptr);
    EXPECT_EQ(table.find(""), nullptr);
}

TEST(CommandTableDeathTest, BindingAnUnknownNameOrTwiceAborts) {
    auto& table = const_cast<CommandTable&>(CommandTable::instance());
    EXPECT_DEATH(table.bind("camGetDevCounts", nullptr), "no protocol command named");
    EXPECT_DEATH(registerCameraCommands(table), "handler bound twice");
}

class Dispatch : public ::testing::Test {
protected:
    ServiceHarness harness_;
};

TEST_F(Dispatch, OneReplyWithoutTheTag) {
    Fake::program("camGetDevCount", Outcome().withInts({2}));
    EXPECT_EQ(harness_.request(R"({"FuncName":"camGetDevCount","tag":"x"})"),
              std::vector<std::string>{R"({"FuncName":"camGetDevCount","result":"2"})"});
}

TEST_F(Dispatch, SilenceForTextsThatAreNotRequests) {
    for (const std::string text : {"null", "[{\"FuncName\":\"camGetDevCount\"}]", "42",
                                   "\"camGetDevCount\"", "camGetDevCount", "", "{",
                                   "{\"FuncName\":\"camgetdevcount\"}",
                                   "{\"FuncName\":\"otrGetTemplateCount\"}",
                                   "{\"FuncName\":\"\"}", "{\"FuncName\":7}", "{\"argument\":{}}",
                                   "{\"FuncName\":[\"camGetDevCount\"]}"}) {
        EXPECT_TRUE(harness_.request(text).empty()) << text;
    }
    EXPECT_TRUE(harness_.calls().empty());
}

TEST_F(Dispatch, HostileTextsNeverThrow) {
    const std::string deep = "{\"FuncName\":\"camGetDevCount\",\"argument\":" + std::string(20000, '[');
    EXPECT_NO_THROW(harness_.request(deep));
    EXPECT_NO_THROW(harness_.request(std::string("{\"FuncName\":\"camGetDevCount\"\0}", 31)));
    EXPECT_NO_THROW(harness_.request("{\"FuncName\":\"camCloseDev\",\"argument\":[[[]]]}"));
    // Still serving afterwards.
    EXPECT_EQ(harness_.request(R"({"FuncName":"camGetDevCount"})").size(), 1u);
}

TEST_F(Dispatch, KnownNamesWithoutHandlersYetAreSilent) {
    EXPECT_TRUE(harness_.request(R"({"FuncName":"PreZoneSize","argument":{"width":640}})").empty());
}

TEST_F(Dispatch, TrailingTextAfterTheObjectIsIgnored) {
    EXPECT_EQ(harness_.request(R"({"FuncName":"camGetDevCount"} trailing)").size(), 1u);
}

TEST(DispatchInGbk, ACharacterGbkLacksReachesTheHandlerAsQuestionMark) {
    // The path a page sends arrives at the library converted; U+2603 has no GBK form.
    const std::string previous = internalCodePage();
    setInternalCodePage("GBK");
    ServiceHarness harness;
    const std::string request = utf8ToAnsi(
        "{\"FuncName\":\"camGetDevCount\",\"argument\":{\"p\":\"\xE2\x98\x83\xE4\xB8\xAD\"}}");
    harness.service().parseRequest(request);
    EXPECT_EQ(harness.service().argString("p"), "?\xD6\xD0");
    setInternalCodePage(previous);
}

}  // namespace
}  // namespace lenvaro
