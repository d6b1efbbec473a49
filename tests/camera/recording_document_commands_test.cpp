#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>

#include "camera_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class RecordingCommands : public lenvaro::testing::CameraTest {};

TEST_F(RecordingCommands, AudioDevicesAreCountedAndListedRaw) {
    EXPECT_EQ(request(R"({"FuncName":"camGetAudioDevCount"})"),
              Texts{quoted("camGetAudioDevCount", "0")});
    EXPECT_EQ(request(R"({"FuncName":"camGetAudioDevName"})"),
              Texts{R"({"FuncName":"camGetAudioDevName","result":[""]})"});
    Fake::program("camGetAudioDevCount", Outcome::returns(-1).withInts({2}));
    Fake::programSequence("camGetAudioDevName",
                          {Outcome::returnsText("Mic A"), Outcome::returnsText("Mic B")});
    EXPECT_EQ(request(R"({"FuncName":"camGetAudioDevCount"})"),
              Texts{quoted("camGetAudioDevCount", "2")});
    EXPECT_EQ(request(R"({"FuncName":"camGetAudioDevName"})"),
              Texts{R"({"FuncName":"camGetAudioDevName","result":["Mic A","Mic B"]})"});
    EXPECT_EQ(calls(), Texts({"camGetAudioDevCount(&0)", "camGetAudioDevCount(&0)",
                              "camGetAudioDevCount(&0)", "camGetAudioDevCount(&0)",
                              "camGetAudioDevName(0)", "camGetAudioDevName(1)"}));
}

TEST_F(RecordingCommands, EncoderNamesShareOneBufferClearedOnce) {
    Fake::program("camGetVideoEncodeCount", Outcome().withInts({3}));
    // The second index writes nothing: the first name stays in the buffer.
    Fake::programSequence(
        "camGetVideoEncodeName",
        {Outcome().withTexts({"MJPG"}), Outcome::returns(-2), Outcome().withTexts({"I4"})});
    EXPECT_EQ(request(R"({"FuncName":"camGetVideoEncodeCount"})"),
              Texts{quoted("camGetVideoEncodeCount", "3")});
    EXPECT_EQ(request(R"({"FuncName":"camGetVideoEncodeName"})"),
              Texts{R"({"FuncName":"camGetVideoEncodeName","result":["MJPG","MJPG","I4"]})"});
    EXPECT_EQ(calls(), Texts({"camGetVideoEncodeCount(&0)", "camGetVideoEncodeCount(&0)",
                              "camGetVideoEncodeName(0, zeroed[256])",
                              "camGetVideoEncodeName(1, dirty[256])",
                              "camGetVideoEncodeName(2, dirty[256])"}));
}

TEST_F(RecordingCommands, RecordPassesMicrophoneBeforeFormatAndOneLast) {
    service().currentDevice = 1;
    Fake::program("camStartRecord", Outcome::returns(-5));
    Fake::program("camStopRecord", Outcome::returns(-3));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camStartRecord","argument":{"micphone":2,"videoFormat":3,"filePath":"/v/a.avi"}})"),
        Texts{quoted("camStartRecord", "-5")});
    EXPECT_EQ(request(R"({"FuncName":"camStopRecord"})"), Texts{quoted("camStopRecord", "-3")});
    EXPECT_EQ(calls(), Texts({R"(camStartRecord(1, "/v/a.avi", 2, 3, 1))", "camStopRecord(1)"}));
}

TEST_F(RecordingCommands, MicrophoneVolumeIsAcceptedAndNeverAnswered) {
    EXPECT_TRUE(request(R"({"FuncName":"camGetMicrophoneVolumeLevel"})").empty());
    EXPECT_TRUE(calls().empty());
}

class DocumentCommands : public lenvaro::testing::CameraTest {
  protected:
    std::string existingFile() {
        const std::string path = service().scratchDirectory() + "/page.jpg";
        std::ofstream(path) << "x";
        return path;
    }
    Texts combine() {
        return request(
            R"({"FuncName":"camCombinePDF","argument":{"filePath":"/out.pdf","JpegQuality":60}})");
    }
    Texts add(const std::string& path) {
        return request(R"({"FuncName":"camAddFileToPDFList","argument":{"filePath":)" +
                       Json::valueToQuotedString(path.c_str()) + "}}");
    }
};

TEST_F(DocumentCommands, CombineIsTriedAsTheFirstCommand) {
    Fake::program("camCombinePDF", Outcome::returns(-4));
    EXPECT_EQ(combine(), Texts{quoted("camCombinePDF", "-4")});
    EXPECT_EQ(calls(), Texts{R"(camCombinePDF("/out.pdf", 60))"});
}

TEST_F(DocumentCommands, MissingFileAnswersMinus99AndSilencesCombine) {
    EXPECT_EQ(add("/no/such/page.jpg"), Texts{quoted("camAddFileToPDFList", "-99")});
    EXPECT_TRUE(combine().empty());
    EXPECT_TRUE(calls().empty());
    // Any later add re-arms the flag before it tests the file; a successful one lets combine run.
    const std::string path = existingFile();
    EXPECT_EQ(add(path), Texts{quoted("camAddFileToPDFList", "0")});
    EXPECT_EQ(combine(), Texts{quoted("camCombinePDF", "0")});
    EXPECT_EQ(calls(),
              Texts({"camAddFileToPDFList(\"" + path + "\")", R"(camCombinePDF("/out.pdf", 60))"}));
}

TEST_F(DocumentCommands, RefusedAddSilencesCombineUntilTheNextAdd) {
    const std::string path = existingFile();
    Fake::programSequence("camAddFileToPDFList", {Outcome::returns(-2), Outcome::returns(0)});
    EXPECT_EQ(add(path), Texts{quoted("camAddFileToPDFList", "-2")});
    EXPECT_TRUE(combine().empty());
    EXPECT_FALSE(service().pdfListReady);
    EXPECT_EQ(add(path), Texts{quoted("camAddFileToPDFList", "0")});
    EXPECT_EQ(combine().size(), 1u);
    // Combining does not change the flag.
    EXPECT_EQ(combine().size(), 1u);
}

TEST_F(DocumentCommands, CombineImagePassesThreePathsThenTypeOffsetsAndTwoZeros) {
    Fake::program("camCombineImage", Outcome::returns(-4));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camCombineImage","argument":{"filePath1":"/a.jpg","filePath2":"/b.jpg",
        "PdfPath":"/c.jpg","Type":1,"offsetX":-10,"offsetY":20}})"),
        Texts{quoted("camCombineImage", "-4")});
    EXPECT_EQ(calls(), Texts{R"(camCombineImage("/a.jpg", "/b.jpg", "/c.jpg", 1, -10, 20, 0, 0))"});
}

TEST_F(DocumentCommands, WindowsForwardTheLibrarysStatus) {
    service().currentDevice = 1;
    Fake::program("camShowImage", Outcome::returns(-4));
    Fake::program("camShowImageSettingWindow", Outcome::returns(-4));
    Fake::program("camShowDevSettingWindow", Outcome::returns(-4));
    EXPECT_EQ(request(R"({"FuncName":"camShowImage","argument":{"FilePath":"/a.jpg"}})"),
              Texts{quoted("camShowImage", "-4")});
    // Only "FilePath" with a capital F counts.
    request(R"({"FuncName":"camShowImage","argument":{"filePath":"/a.jpg"}})");
    EXPECT_EQ(request(R"({"FuncName":"camShowImageSettingWindow"})"),
              Texts{quoted("camShowImageSettingWindow", "-4")});
    EXPECT_EQ(request(R"({"FuncName":"camShowDevSettingWindow"})"),
              Texts{quoted("camShowDevSettingWindow", "-4")});
    EXPECT_EQ(calls(), Texts({R"(camShowImage("/a.jpg"))", R"(camShowImage(""))",
                              "camShowImageSettingWindow(1)", "camShowDevSettingWindow(1)"}));
}

}  // namespace
}  // namespace lenvaro
