// Signature pad commands and the save callback through the recording fake.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <string>
#include <vector>

#include "fake_pictavo.h"
#include "common/base64.h"
#include "common/paths.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class SignpadCommands : public lenvaro::testing::CommandTest {};

TEST_F(SignpadCommands, StartHandsEverySettingOnAndStartsWriting) {
    Fake::program("signStartWriteDeveiceAPI", Outcome::returns(-7));
    EXPECT_EQ(
        request(
            R"({"FuncName":"StartSignDevice","argument":{"left":10,"ntop":20,"right":410,)"
            R"("bottom":220,"BR":255,"BG":254,"BB":253,"BT":1,"R":0,"G":0,"B":128,"nBackNum":3,)"
            R"("filepath":"/s/pad.png","fileSignpath":"/s/out.jpg"}})"),
        Texts{R"({"FuncName":"StartSignDevice","result":"-7"})"});
    EXPECT_EQ(
        harness_.calls(),
        Texts({"signInit()", "signSetSaveCallBack(cb)",
               R"(signSetParam({10, 20, 410, 220, 255, 254, 253, 1, 0, 0, 128, 3, "/s/pad.png"}))",
               R"(signOutPutFile("/s/out.jpg"))", "signStartWriteDeveiceAPI()"}));
    EXPECT_NE(Fake::signSavedCallback(), nullptr);
}

TEST_F(SignpadCommands, StartWithoutArgumentsSendsZerosAndEmptyPaths) {
    EXPECT_EQ(request(R"({"FuncName":"StartSignDevice","argument":{"left":"10","R":2.0}})"),
              Texts{R"({"FuncName":"StartSignDevice","result":"0"})"});
    EXPECT_EQ(harness_.calls(), Texts({"signInit()", "signSetSaveCallBack(cb)",
                                       R"(signSetParam({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ""}))",
                                       R"(signOutPutFile(""))", "signStartWriteDeveiceAPI()"}));
}

TEST_F(SignpadCommands, AFailedInitIsRepliedAndStillRegistersTheCallback) {
    Fake::program("signInit", Outcome::returns(3));
    EXPECT_EQ(
        request(
            R"({"FuncName":"StartSignDevice","argument":{"left":1,"fileSignpath":"/s/o.png"}})"),
        Texts{R"({"FuncName":"StartSignDevice","result":"3"})"});
    EXPECT_EQ(harness_.calls(), Texts({"signInit()", "signSetSaveCallBack(cb)"}));
    EXPECT_NE(Fake::signSavedCallback(), nullptr);
}

TEST_F(SignpadCommands, WritingModeCommandsReplyTheLibraryStatus) {
    Fake::program("signStartWriteDeveiceAPI", Outcome::returns(-3));
    Fake::program("signStopWriteDeviceAPI", Outcome::returns(5));
    EXPECT_EQ(request(R"({"FuncName":"BeginSignMode"})"),
              Texts{R"({"FuncName":"BeginSignMode","result":"-3"})"});
    EXPECT_EQ(request(R"({"FuncName":"EndSignMode"})"),
              Texts{R"({"FuncName":"EndSignMode","result":"5"})"});
    EXPECT_EQ(harness_.calls(), Texts({"signStartWriteDeveiceAPI()", "signStopWriteDeviceAPI()"}));
}

TEST_F(SignpadCommands, OutputFileNamesTheFileThenRestartsWriting) {
    Fake::program("signOutPutFile", Outcome::returns(-2));
    Fake::program("signStartWriteDeveiceAPI", Outcome::returns(4));
    EXPECT_EQ(request(R"({"FuncName":"signOutPutFile","argument":{"fileSignpath":"/s/b.png"}})"),
              Texts{R"({"FuncName":"signOutPutFile","result":"4"})"});
    EXPECT_EQ(harness_.calls(),
              Texts({R"(signOutPutFile("/s/b.png"))", "signStartWriteDeveiceAPI()"}));
}

TEST_F(SignpadCommands, SerialNumberIsAcceptedAndIgnored) {
    EXPECT_EQ(request(R"({"FuncName":"SetSignDeviceSN","argument":{"sn":"A-1","n":3}})"),
              Texts{R"({"FuncName":"SetSignDeviceSN","result":""})"});
    EXPECT_TRUE(harness_.calls().empty());
}

class SignImageBase64 : public SignpadCommands {
  protected:
    // Writes a file of `bytes` varied bytes and keeps its content.
    std::string imageOfSize(size_t bytes) {
        const std::string path = dir_.file("sign.png");
        content_.clear();
        for (size_t i = 0; i < bytes; ++i) content_ += static_cast<char>(i * 37 + 11);
        std::ofstream(path, std::ios::binary) << content_;
        return path;
    }
    // The result text of the reply, or a mark when the reply has another form.
    std::string reply(const std::string& path) {
        const Texts sent = request(R"({"FuncName":"XoOutputImageBase64","argument":{"filePath":)" +
                                   Json::valueToQuotedString(path.c_str()) + "}}");
        const std::string prefix = R"({"FuncName":"XoOutputImageBase64","result":")";
        if (sent.size() != 1 || sent[0].rfind(prefix, 0) != 0) return "<unexpected reply>";
        return sent[0].substr(prefix.size(), sent[0].size() - prefix.size() - 2);
    }
    static std::string decoded(const std::string& text) {
        size_t count = 0;
        return base64Decode(text, text.size(), count);
    }
    ScratchDirectory dir_;
    std::string content_;
};

TEST_F(SignImageBase64, SendsTheFileOnOneLineAfterAskingForIt) {
    const std::string path = imageOfSize(57);
    const std::string text = reply(path);
    EXPECT_EQ(text.size(), 76u);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(decoded(text), content_);
    EXPECT_EQ(harness_.calls(), Texts({"signOutPutFile(\"" + path + "\")"}));
}

TEST_F(SignImageBase64, LongFilesLoseEveryLineBreak) {
    const std::string text = reply(imageOfSize(115));
    EXPECT_EQ(text.size(), 156u);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(decoded(text), content_);
}

TEST_F(SignImageBase64, AFileThatCannotBeReadGivesTheEmptyText) {
    EXPECT_EQ(reply(dir_.file("missing.png")), "");
    EXPECT_EQ(reply(dir_.path()), "");
    EXPECT_EQ(request(R"({"FuncName":"XoOutputImageBase64"})"),
              Texts{R"({"FuncName":"XoOutputImageBase64","result":""})"});
    EXPECT_EQ(harness_.calls(),
              Texts({"signOutPutFile(\"" + dir_.file("missing.png") + "\")",
                     "signOutPutFile(\"" + dir_.path() + "\")", "signOutPutFile(\"\")"}));
}

TEST_F(SignImageBase64, RefusesAPathTooLongForItsBuffer) {
    imageOfSize(3);
    // Extra slashes name the same file, so only the length decides.
    const std::string fits =
        dir_.path() + std::string(2047 - dir_.file("sign.png").size(), '/') + "/sign.png";
    ASSERT_EQ(fits.size(), 2047u);
    EXPECT_EQ(decoded(reply(fits)), content_);
    EXPECT_EQ(reply("/" + fits), "");
    EXPECT_EQ(harness_.calls(),
              Texts({"signOutPutFile(\"" + fits + "\")", "signOutPutFile(\"\")"}));
}

TEST_F(SignpadCommands, ASavedSignatureEndsWritingAndSendsNothing) {
    request(R"({"FuncName":"StartSignDevice"})");
    Fake::clearCalls();
    const size_t sentBefore = harness_.sent().size();
    EXPECT_TRUE(Fake::deliverSignSaved(false));
    EXPECT_TRUE(harness_.calls().empty());
    EXPECT_TRUE(Fake::deliverSignSaved(true));
    EXPECT_EQ(harness_.calls(), Texts{"signStopWriteDeviceAPI()"});
    EXPECT_EQ(harness_.sent().size(), sentBefore);
}

}  // namespace
}  // namespace lenvaro
