// IC card commands over the recording fake: every member's library function, the order of its
// arguments, the size of its output buffer, and the reply taken from that buffer.
#include <gtest/gtest.h>

#include "fake_pictavo.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class IcCardCommands : public lenvaro::testing::CommandTest {};

struct Member {
    const char* name;
    const char* function;
    const char* call;  // as the fake logs it, for the arguments below
};

// Every argument a member may read, each with a value that shows where it went.
const char* const kAllArguments =
    R"("argument":{"iType":3,"iAuthType":4,"pCardInfo":"info","pFileAddr":"addr","pWriteData":"data","pKey":"key","pPayInfo":"pay"})";

const Member kMembers[] = {
    {"iReadCardBas", "CamReadCardBas", "CamReadCardBas(3, zeroed[1024])"},
    {"iReadCardBas_HSM_Step1", "CamReadCardBas_HSM_Step1",
     "CamReadCardBas_HSM_Step1(3, zeroed[1024])"},
    {"iReadCardBas_HSM_Step2", "CamReadCardBas_HSM_Step2",
     "CamReadCardBas_HSM_Step2(\"key\", zeroed[1024])"},
    {"iReadCard", "CamReadCard", "CamReadCard(3, 4, \"info\", \"addr\", zeroed[20480])"},
    {"iReadCard_HSM_Step1", "CamReadCard_HSM_Step1",
     "CamReadCard_HSM_Step1(3, \"info\", \"addr\", zeroed[1024])"},
    {"iReadCard_HSM_Step2", "CamReadCard_HSM_Step2",
     "CamReadCard_HSM_Step2(\"key\", zeroed[20480])"},
    {"iWriteCard", "CamWriteCard", "CamWriteCard(3, \"info\", \"addr\", \"data\", zeroed[1024])"},
    {"iWriteCard_HSM_Step1", "CamWriteCard_HSM_Step1",
     "CamWriteCard_HSM_Step1(3, \"info\", \"addr\", zeroed[1024])"},
    {"iWriteCard_HSM_Step2", "CamWriteCard_HSM_Step2",
     "CamWriteCard_HSM_Step2(\"key\", \"data\", zeroed[1024])"},
    {"iVerifyPIN", "CamVerifyPIN", "CamVerifyPIN(3, zeroed[512])"},
    {"iChangePIN", "CamChangePIN", "CamChangePIN(3, zeroed[512])"},
    {"iReloadPIN", "CamReloadPIN", "CamReloadPIN(3, \"info\", zeroed[512])"},
    {"iReloadPIN_HSM_Step1", "CamReloadPIN_HSM_Step1",
     "CamReloadPIN_HSM_Step1(3, \"info\", zeroed[512])"},
    {"iReloadPIN_HSM_Step2", "CamReloadPIN_HSM_Step2",
     "CamReloadPIN_HSM_Step2(\"key\", zeroed[1024])"},
    {"iUnblockPIN_HSM_Step3", "CamUnblockPIN_HSM_Step3",
     "CamUnblockPIN_HSM_Step3(\"key\", zeroed[1024])"},
    {"iUnblockPIN", "CamUnblockPIN", "CamUnblockPIN(3, \"info\", zeroed[512])"},
    {"iUnblockPIN_HSM_Step1", "CamUnblockPIN_HSM_Step1",
     "CamUnblockPIN_HSM_Step1(3, \"info\", zeroed[512])"},
    {"iUnblockPIN_HSM_Step2", "CamUnblockPIN_HSM_Step2",
     "CamUnblockPIN_HSM_Step2(\"key\", zeroed[1024])"},
    {"iDoDebit", "CamDoDebit", "CamDoDebit(3, \"info\", \"pay\", zeroed[512])"},
    {"iDoDebit_HSM_Step1", "CamDoDebit_HSM_Step1",
     "CamDoDebit_HSM_Step1(3, \"info\", \"pay\", zeroed[512])"},
    {"iDoDebit_HSM_Step2", "CamDoDebit_HSM_Step2", "CamDoDebit_HSM_Step2(\"key\", zeroed[1024])"},
    {"iReadDebitRecord", "CamReadDebitRecord", "CamReadDebitRecord(3, zeroed[2048])"},
};

TEST_F(IcCardCommands, EveryMemberCallsItsFunctionWithItsArgumentsAndRepliesWithTheText) {
    for (const Member& member : kMembers) {
        Fake::clearCalls();
        Fake::program(member.function,
                      Outcome::returns(-9).withTexts({std::string("answer of ") + member.name}));
        EXPECT_EQ(
            request(std::string(R"({"FuncName":")") + member.name + "\"," + kAllArguments + "}"),
            Texts{std::string(R"({"FuncName":")") + member.name + R"(","result":"answer of )" +
                  member.name + "\"}"});
        EXPECT_EQ(harness_.calls(), Texts{member.call});
    }
}

TEST_F(IcCardCommands, MissingOrMistypedArgumentsReachTheLibraryAsZeroAndEmptyText) {
    EXPECT_EQ(request(R"({"FuncName":"iVerifyPIN"})"),
              Texts{R"({"FuncName":"iVerifyPIN","result":""})"});
    request(
        R"({"FuncName":"iReadCard","argument":{"iType":"1","iAuthType":1.0,"pCardInfo":5,"pFileAddr":null}})");
    request(R"({"FuncName":"iWriteCard_HSM_Step2","argument":[1,2]})");
    EXPECT_EQ(harness_.calls(),
              Texts({"CamVerifyPIN(0, zeroed[512])", "CamReadCard(0, 0, \"\", \"\", zeroed[20480])",
                     "CamWriteCard_HSM_Step2(\"\", \"\", zeroed[1024])"}));
}

TEST_F(IcCardCommands, AnswersFillTheirBufferLessOne) {
    const std::string longest(20479, 'r');
    Fake::program("CamReadCard", Outcome().withTexts({longest}));
    Fake::program("CamReadCard_HSM_Step2", Outcome().withTexts({longest}));
    Fake::program("CamVerifyPIN", Outcome().withTexts({std::string(511, 'v')}));
    Fake::program("CamReadDebitRecord", Outcome().withTexts({std::string(2047, 'd')}));
    EXPECT_EQ(request(R"({"FuncName":"iReadCard"})"),
              Texts{R"({"FuncName":"iReadCard","result":")" + longest + "\"}"});
    EXPECT_EQ(request(R"({"FuncName":"iReadCard_HSM_Step2"})"),
              Texts{R"({"FuncName":"iReadCard_HSM_Step2","result":")" + longest + "\"}"});
    EXPECT_EQ(request(R"({"FuncName":"iVerifyPIN"})"),
              Texts{R"({"FuncName":"iVerifyPIN","result":")" + std::string(511, 'v') + "\"}"});
    EXPECT_EQ(
        request(R"({"FuncName":"iReadDebitRecord"})"),
        Texts{R"({"FuncName":"iReadDebitRecord","result":")" + std::string(2047, 'd') + "\"}"});
}

TEST_F(IcCardCommands, AnAnswerIsCutAtItsFirstZeroByte) {
    Fake::program("CamDoDebit", Outcome().withTexts({std::string("OK|1\0hidden", 11)}));
    EXPECT_EQ(request(R"({"FuncName":"iDoDebit"})"),
              Texts{R"({"FuncName":"iDoDebit","result":"OK|1"})"});
}

}  // namespace
}  // namespace lenvaro
