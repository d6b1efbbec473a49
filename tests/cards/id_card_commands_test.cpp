// Resident ID card commands over the recording fake: the calls they make (reader reset only
// where it belongs), the field order and separators of their replies, reading fields that lack
// their zero unit, the temporary photo, and the fingerprint template's marker reply and file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "cards/reset_card_reader.h"
#include "command_test.h"
#include "common/base64.h"
#include "fake_pictavo.h"
#include "test_files.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

constexpr size_t kOffsets[9] = {0, 60, 68, 108, 140, 280, 352, 412, 444};

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// A record whose nine fields say which one they are, the first in Chinese.
Bytes fullRecord() {
    Bytes record(PICTAVO_ID_CARD_RECORD_SIZE, 0);
    const std::u16string texts[9] = {u"张三", u"f2", u"f3", u"f4", u"f5",
                                     u"f6",   u"f7", u"f8", u"f9"};
    for (size_t i = 0; i < 9; ++i) putUtf16(record, kOffsets[i], texts[i]);
    return record;
}

class IdCardCommands : public lenvaro::testing::CommandTest {
  protected:
    std::string photoPath() { return harness_.service().scratchDirectory() + "/idCard.bmp"; }
};

TEST_F(IdCardCommands, ReadIdCardResetsTheReaderAndJoinsTheNineFieldsInRecordOrder) {
    Fake::program("idcardrfidReadIDCard", Outcome::returns(-7).withBytes({fullRecord()}));
    EXPECT_EQ(
        request(R"({"FuncName":"idcardrfidReadIDCard","argument":{"HeadPath":"/p/h.bmp"}})"),
        Texts{R"({"FuncName":"idcardrfidReadIDCard","result":"张三|f2|f3|f4|f5|f6|f7|f8|f9"})"});
    EXPECT_EQ(harness_.calls(), Texts({"idcardrfidUnInit()", "idcardrfidInit()",
                                       "idcardrfidReadIDCard(zeroed[776], \"/p/h.bmp\")"}));
}

TEST_F(IdCardCommands, AnEmptyReadGivesEightSeparatorsAndAMissingPathReadsAsEmpty) {
    Fake::program("idcardrfidReadIDCard", Outcome::returns(-3));
    EXPECT_EQ(request(R"({"FuncName":"idcardrfidReadIDCard"})"),
              Texts{R"({"FuncName":"idcardrfidReadIDCard","result":"||||||||"})"});
    EXPECT_EQ(harness_.calls().back(), "idcardrfidReadIDCard(zeroed[776], \"\")");
}

TEST_F(IdCardCommands, ALongHeadPathReachesTheLibraryWhole) {
    const std::string path = "/" + std::string(3000, 'd') + "/h.bmp";
    request(R"({"FuncName":"idcardrfidReadIDCard","argument":{"HeadPath":")" + path + "\"}}");
    EXPECT_EQ(harness_.calls().back(), "idcardrfidReadIDCard(zeroed[776], \"" + path + "\")");
}

TEST_F(IdCardCommands, FieldsWithoutAZeroUnitStopAtTheirWidth) {
    Bytes record(PICTAVO_ID_CARD_RECORD_SIZE, 0);
    putUtf16(record, 0, std::u16string(30, u'A'));  // fills field 1 up to field 2
    putUtf16(record, 60, u"男");
    putUtf16(record, 444, std::u16string(16, u'9'));  // the last field, up to offset 476
    for (size_t i = 476; i < record.size(); ++i) record[i] = 'x';  // the library's own bytes
    Fake::program("idcardrfidReadIDCard", Outcome().withBytes({record}));
    EXPECT_EQ(request(R"({"FuncName":"idcardrfidReadIDCard"})"),
              Texts{R"({"FuncName":"idcardrfidReadIDCard","result":")" + std::string(30, 'A') +
                    "|男|||||||" + std::string(16, '9') + "\"}"});
}

TEST_F(IdCardCommands, ReadIdCardExUsesThePrivateScratchPhotoAndEndsInASeparatorWithoutOne) {
    Fake::program("idcardrfidReadIDCard", Outcome().withBytes({fullRecord()}));
    EXPECT_EQ(
        request(R"({"FuncName":"idcardrfidReadIDCardEx","argument":{"HeadPath":"/x"}})"),
        Texts{R"({"FuncName":"idcardrfidReadIDCardEx","result":"张三|f2|f3|f4|f5|f6|f7|f8|f9|"})"});
    EXPECT_EQ(harness_.calls(),
              Texts({"idcardrfidUnInit()", "idcardrfidInit()",
                     "idcardrfidReadIDCard(zeroed[776], \"" + photoPath() + "\")"}));

    Fake::program("idcardrfidReadIDCard", Outcome::returns(-1));
    EXPECT_EQ(request(R"({"FuncName":"idcardrfidReadIDCardEx"})"),
              Texts{R"({"FuncName":"idcardrfidReadIDCardEx","result":"|||||||||"})"});
}

TEST_F(IdCardCommands, AStalePhotoIsNeverSentForANewReadAndIsGoneAfterTheReply) {
    std::ofstream(photoPath(), std::ios::binary) << "BM-stale";
    Fake::program("idcardrfidReadIDCard", Outcome::returns(-1));
    EXPECT_EQ(request(R"({"FuncName":"iReadIdentityCard"})"),
              Texts{R"({"FuncName":"iReadIdentityCard","result":"|||||||||"})"});
    EXPECT_FALSE(exists(photoPath()));
}

TEST_F(IdCardCommands, ReadIdentityCardReadsWithoutResettingTheReader) {
    Fake::program("idcardrfidReadIDCard", Outcome().withBytes({fullRecord()}));
    EXPECT_EQ(
        request(R"({"FuncName":"iReadIdentityCard"})"),
        Texts{R"({"FuncName":"iReadIdentityCard","result":"张三|f2|f3|f4|f5|f6|f7|f8|f9|"})"});
    EXPECT_EQ(harness_.calls(),
              Texts({"idcardrfidReadIDCard(zeroed[776], \"" + photoPath() + "\")"}));
}

TEST_F(IdCardCommands, ImageTypeIsReadAsTextAndTurnedIntoAnInteger) {
    Fake::program("idcardrfidGetIDCardImage", Outcome::returns(-4));
    const std::string head =
        R"({"FuncName":"idcardrfidGetIDCardImage","argument":{"pFileFront":"/f.bmp","pFileBack":"/b.bmp","nType":)";
    for (const char* type : {"\"2\"", "2", "\"abc\"", "\" 7x\"", "\"-1\""}) {
        EXPECT_EQ(request(head + type + "}}"),
                  Texts{R"({"FuncName":"idcardrfidGetIDCardImage","result":"-4"})"});
    }
    EXPECT_EQ(harness_.calls(), Texts({"idcardrfidGetIDCardImage(2, \"/f.bmp\", \"/b.bmp\")",
                                       "idcardrfidGetIDCardImage(0, \"/f.bmp\", \"/b.bmp\")",
                                       "idcardrfidGetIDCardImage(0, \"/f.bmp\", \"/b.bmp\")",
                                       "idcardrfidGetIDCardImage(7, \"/f.bmp\", \"/b.bmp\")",
                                       "idcardrfidGetIDCardImage(-1, \"/f.bmp\", \"/b.bmp\")"}));
}

class FingerprintMessage : public IdCardCommands {
  protected:
    std::string file(const std::string& name) {
        return harness_.service().scratchDirectory() + "/" + name;
    }
};

TEST_F(FingerprintMessage, ASuccessfulReadSendsTheTemplateAsMarkedBase64AndWritesItsBytes) {
    Bytes message(1024);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 7 + 3);
    Fake::program("idcardrfidGetOneFingerprintMsg",
                  Outcome::returns(0).withBytes({message}).withInts({17}));
    const std::string target = file("finger.dat");
    const Texts sent = request(
        R"({"FuncName":"idcardrfidGetOneFingerprintMsg","argument":{"nIndex":1,"filePath":")" +
        target + "\"}}");

    const Bytes templateBytes(message.begin(), message.begin() + 512);
    const std::string expectedBase64 = base64Encode(templateBytes.data(), templateBytes.size());
    EXPECT_EQ(expectedBase64.size(), 700u);
    EXPECT_EQ(sent, Texts{"$*$idcardrfidGetOneFingerprintMsg$*$" + expectedBase64 + "$*$17"});
    EXPECT_EQ(readWholeFile(target), std::string(templateBytes.begin(), templateBytes.end()));
    EXPECT_EQ(harness_.calls(), Texts({"idcardrfidGetOneFingerprintMsg(1, zeroed[1024], &-1)"}));
}

TEST_F(FingerprintMessage, AFailedReadSendsAnEmptyTemplateWithTheStatusAndLeavesTheFileAlone) {
    const std::string target = file("keep.dat");
    std::ofstream(target) << "keep";
    Fake::program("idcardrfidGetOneFingerprintMsg", Outcome::returns(-3).withInts({5}));
    const std::string text =
        R"({"FuncName":"idcardrfidGetOneFingerprintMsg","argument":{"filePath":")" + target +
        "\"}}";
    EXPECT_EQ(request(text), Texts{"$*$idcardrfidGetOneFingerprintMsg$*$$*$5"});
    Fake::program("idcardrfidGetOneFingerprintMsg", Outcome::returns(1));
    EXPECT_EQ(request(text), Texts{"$*$idcardrfidGetOneFingerprintMsg$*$$*$-1"})
        << "no status written: the preset shows";
    EXPECT_EQ(readWholeFile(target), "keep");
    EXPECT_EQ(harness_.calls().front(), "idcardrfidGetOneFingerprintMsg(0, zeroed[1024], &-1)");
}

TEST_F(FingerprintMessage, AFileThatCannotBeWrittenStillGetsTheReply) {
    Fake::program("idcardrfidGetOneFingerprintMsg", Outcome::returns(0).withInts({0}));
    const Texts sent = request(
        R"({"FuncName":"idcardrfidGetOneFingerprintMsg","argument":{"filePath":"/no/such/dir/f.dat"}})");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "$*$idcardrfidGetOneFingerprintMsg$*$" +
                           base64Encode(Bytes(512).data(), 512) + "$*$0");
}

TEST_F(IdCardCommands, NothingReadFromACardIsLogged) {
    Fake::program("idcardrfidReadIDCard", Outcome().withBytes({fullRecord()}));
    Fake::program("idcardrfidGetOneFingerprintMsg", Outcome::returns(0).withInts({0}));
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    request(R"({"FuncName":"idcardrfidReadIDCard"})");
    request(R"({"FuncName":"idcardrfidReadIDCardEx"})");
    request(R"({"FuncName":"idcardrfidGetOneFingerprintMsg"})");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(IdCardCommands, AResetFromOutsideWaitsForTheReadInProgress) {
    // The host's reset (SIGUSR1) arrives while a slow read is in the library: it must not
    // close the reader under the read, so it returns only once the command has replied.
    Fake::program("idcardrfidReadIDCard", Outcome().withBytes({fullRecord()}).delayed(300));
    std::thread command([&] { request(R"({"FuncName":"iReadIdentityCard"})"); });
    while (Fake::callLog("idcardrfidReadIDCard").empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    resetCardReader();
    EXPECT_EQ(harness_.sent().size(), 1u) << "the reset went ahead while the read was running";
    command.join();
    const Texts calls = harness_.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1], "idcardrfidUnInit()");
    EXPECT_EQ(calls[2], "idcardrfidInit()");
}

}  // namespace
}  // namespace lenvaro
