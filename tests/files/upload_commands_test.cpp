// HTTP and FTP upload commands through the recording fake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_pictavo.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class UploadCommands : public lenvaro::testing::CommandTest {
  protected:
    // The reply to an HTTP upload whose server answered `answer`.
    std::string replyToAnswer(const std::string& answer, int status = 0) {
        Fake::program("camUpdataFileHttp", Outcome::returns(status).withTexts({answer}));
        const Texts sent = harness_.request(
            R"({"FuncName":"camUpdataFileHttp","argument":{"filePath":"/f.jpg","url":"http://h/u","param":"a=1"}})");
        return sent.size() == 1 ? sent[0] : "<" + std::to_string(sent.size()) + " messages>";
    }
};

TEST_F(UploadCommands, HttpPassesTheArgumentsAndAZeroedAnswerBuffer) {
    replyToAnswer("OK");
    harness_.request(R"({"FuncName":"camUpdataFileHttp"})");
    EXPECT_EQ(harness_.calls(),
              Texts({R"(camUpdataFileHttp("/f.jpg", "http://h/u", "a=1", zeroed[51200]))",
                     R"(camUpdataFileHttp("", "", "", zeroed[51200]))"}));
}

TEST_F(UploadCommands, HttpEmbedsAnswersThatLookLikeAJsonObjectOrString) {
    EXPECT_EQ(replyToAnswer(R"({"code":0,"url":"/a.jpg"})"),
              R"({"FuncName":"camUpdataFileHttp","result":{"code":0,"url":"/a.jpg"}})");
    EXPECT_EQ(replyToAnswer(R"("saved")"), R"({"FuncName":"camUpdataFileHttp","result":"saved"})");
    EXPECT_EQ(replyToAnswer(R"({})"), R"({"FuncName":"camUpdataFileHttp","result":{}})");
    // One character is both the first and the last.
    EXPECT_EQ(replyToAnswer("\""), R"({"FuncName":"camUpdataFileHttp","result":"})");
}

TEST_F(UploadCommands, HttpQuotesEveryOtherAnswer) {
    EXPECT_EQ(replyToAnswer("OK"), R"({"FuncName":"camUpdataFileHttp","result":"OK"})");
    EXPECT_EQ(replyToAnswer("{\"a\":1}\n"),
              "{\"FuncName\":\"camUpdataFileHttp\",\"result\":\"{\"a\":1}\n\"}");
    EXPECT_EQ(replyToAnswer(""), R"({"FuncName":"camUpdataFileHttp","result":""})");
    EXPECT_EQ(replyToAnswer("{"), R"({"FuncName":"camUpdataFileHttp","result":"{"})");
    EXPECT_EQ(replyToAnswer("[1,2]"), R"({"FuncName":"camUpdataFileHttp","result":"[1,2]"})");
    EXPECT_EQ(replyToAnswer("\"a\" and {"),
              R"({"FuncName":"camUpdataFileHttp","result":""a" and {"})");
}

TEST_F(UploadCommands, HttpRepliesTheAnswerWhateverTheStatus) {
    EXPECT_EQ(replyToAnswer("{\"error\":\"too big\"}", -1),
              R"({"FuncName":"camUpdataFileHttp","result":{"error":"too big"}})");
    Fake::program("camUpdataFileHttp", Outcome::returns(-4));
    EXPECT_EQ(harness_.request(R"({"FuncName":"camUpdataFileHttp"})"),
              Texts{R"({"FuncName":"camUpdataFileHttp","result":""})"});
}

TEST_F(UploadCommands, HttpTakesTheWholeAnswerTheBufferCanHold) {
    const std::string longest = "{" + std::string(51197, 'x') + "}";
    EXPECT_EQ(replyToAnswer(longest),
              R"({"FuncName":"camUpdataFileHttp","result":)" + longest + "}");
}

TEST_F(UploadCommands, HttpRefusesAFilePathTooLongForItsBufferButPassesLongTexts) {
    const std::string longPath = "/" + std::string(2047, 'p');
    const std::string longUrl = "http://h/?" + std::string(3000, 'u');
    const std::string longParam = "a=" + std::string(3000, 'v');
    harness_.request(R"({"FuncName":"camUpdataFileHttp","argument":{"filePath":")" + longPath +
                     R"(","url":")" + longUrl + R"(","param":")" + longParam + R"("}})");
    harness_.request(R"({"FuncName":"camUpdataFileHttp","argument":{"filePath":")" +
                     longPath.substr(1) + R"("}})");
    EXPECT_EQ(
        harness_.calls(),
        Texts({"camUpdataFileHttp(\"\", \"" + longUrl + "\", \"" + longParam + "\", zeroed[51200])",
               "camUpdataFileHttp(\"" + longPath.substr(1) + "\", \"\", \"\", zeroed[51200])"}));
}

TEST_F(UploadCommands, FtpCallsTheExtendedFunctionWithTheArgumentsInOrder) {
    Fake::programSequence("camUpdataFileFtpEx", {Outcome::returns(0), Outcome::returns(-1)});
    EXPECT_EQ(
        harness_.request(
            R"({"FuncName":"camUpdataFileFtp","argument":{"strfilePath":"/f.jpg","strftpPath":"ftp://h/in",)"
            R"("struserName":"me","struserPsd":"p\"w","iPort":2121,"strtargetName":"t.jpg"}})"),
        Texts{R"({"FuncName":"camUpdataFileFtp","result":"0"})"});
    EXPECT_EQ(harness_.request(R"({"FuncName":"camUpdataFileFtp","argument":{"iPort":"21"}})"),
              Texts{R"({"FuncName":"camUpdataFileFtp","result":"-1"})"});
    EXPECT_EQ(harness_.calls(),
              Texts({R"(camUpdataFileFtpEx("/f.jpg", "ftp://h/in", "me", "p"w", 2121, "t.jpg"))",
                     R"(camUpdataFileFtpEx("", "", "", "", 0, ""))"}));
}

TEST_F(UploadCommands, FtpUnderTheExtendedNameIsNoCommand) {
    EXPECT_TRUE(harness_.request(R"({"FuncName":"camUpdataFileFtpEx"})").empty());
    EXPECT_TRUE(harness_.calls().empty());
}

}  // namespace
}  // namespace lenvaro
