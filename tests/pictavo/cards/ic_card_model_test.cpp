// The simulated IC card: what writes change and reads give back, the PIN's retry counter and
// how it blocks and unblocks, the balance and its debit record, the HSM sessions that link the
// steps, and answers that always fit the buffer the service passes.
#include "pictavo/cards/ic_card_model.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "pictavo/cards/simulated_ic_card_reader.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using Op = IcOperation;

// A card with numbered tokens and a PIN pad that types what the test queued.
class IcCard : public ::testing::Test {
  protected:
    IcCard() { recreate(sampleCards().icCard); }

    void recreate(IcCardSettings settings) {
        card_.emplace(std::move(settings), [this] { return "T" + std::to_string(++tokens_); });
    }

    // Runs `operation`; the answer text, with the status checked against the text's kind (a
    // refusal is "ERR|...").
    std::string run(Op operation, IcRequest request = {}) {
        std::string answer;
        const int status = card_->run(
            operation, request, [this] { return typePin(); }, answer);
        EXPECT_EQ(status, answer.rfind("ERR|", 0) == 0 ? kFailed : kOk) << answer;
        return answer;
    }
    std::string typePin() {
        ++prompts_;
        if (typed_.empty()) return "";
        std::string next = typed_.front();
        typed_.pop_front();
        return next;
    }

    static IcRequest forCard(const std::string& address = "") {
        IcRequest request;
        request.cardInfo = sampleCards().icCard.number;
        request.fileAddress = address;
        return request;
    }
    static IcRequest withKey(const std::string& key) {
        IcRequest request;
        request.key = key;
        return request;
    }
    static IcRequest paying(const std::string& payInfo) {
        IcRequest request = forCard();
        request.payInfo = payInfo;
        return request;
    }

    int tokens_ = 0;
    int prompts_ = 0;
    std::deque<std::string> typed_;
    std::optional<IcCardModel> card_;
};

TEST_F(IcCard, BasicDataIsTheTextSocialSecurityTerminalsUse) {
    const std::string basic =
        "110100|110101199003071233|A01234567|110100D15600000500A0123456789ABC|ZHANG SAN|"
        "0031C0649000|3.00|20200101|20300101|||";
    EXPECT_EQ(run(Op::kReadBasic), basic);
    IcRequest contactlessFirst;
    contactlessFirst.type = 4;
    EXPECT_EQ(run(Op::kReadBasic, contactlessFirst), basic);
    contactlessFirst.type = 5;
    EXPECT_EQ(run(Op::kReadBasic, contactlessFirst), "ERR|BAD_TYPE");
    // The basic data as read names the card to the operations that need it.
    IcRequest read = forCard("EF05");
    read.cardInfo = basic;
    EXPECT_EQ(run(Op::kRead, read).substr(0, 3), "OK|");
}

TEST_F(IcCard, AWriteIsReadBack) {
    IcRequest write = forCard("EF06");
    write.writeData = "hello|card";
    EXPECT_EQ(run(Op::kWrite, write), "OK|10");
    EXPECT_EQ(run(Op::kRead, forCard("EF06")), "OK|hello|card");
    EXPECT_EQ(run(Op::kRead, forCard("EF07")), "OK") << "an empty file";
    EXPECT_EQ(run(Op::kRead, forCard("EF05")), "OK|110101199003071233|ZHANG SAN|1|01");
}

TEST_F(IcCard, FilesAreAddressedAndSized) {
    EXPECT_EQ(run(Op::kRead, forCard("EF99")), "ERR|NO_FILE");
    EXPECT_EQ(run(Op::kRead, forCard("")), "ERR|BAD_ADDRESS");
    EXPECT_EQ(run(Op::kRead, forCard("EF 05")), "ERR|BAD_ADDRESS");
    IcRequest write = forCard("EF06");
    write.writeData = std::string(kIcCardFileBytes + 1, 'x');
    EXPECT_EQ(run(Op::kWrite, write), "ERR|TOO_LONG|8192");
    EXPECT_EQ(run(Op::kRead, forCard("EF06")), "OK") << "a refused write changes nothing";
    write.fileAddress = "EF99";
    write.writeData = "x";
    EXPECT_EQ(run(Op::kWrite, write), "ERR|NO_FILE") << "writes do not create files";
}

TEST_F(IcCard, CardOperationsMustNameThisCard) {
    IcRequest request = forCard("EF05");
    request.cardInfo = "B99999999";
    EXPECT_EQ(run(Op::kRead, request), "ERR|WRONG_CARD");
    request.cardInfo = "";
    EXPECT_EQ(run(Op::kUnblockPin, request), "ERR|WRONG_CARD");
    request.cardInfo = "A0123456";  // a prefix is not the number
    EXPECT_EQ(run(Op::kDebit, request), "ERR|WRONG_CARD");
    request.cardInfo = run(Op::kReadBasic);  // the basic data as read names it
    EXPECT_EQ(run(Op::kRead, request).substr(0, 3), "OK|");
}

TEST_F(IcCard, AuthenticatedReadsNeedAVerifiedPin) {
    IcRequest request = forCard("EF05");
    request.authType = 1;
    EXPECT_EQ(run(Op::kRead, request), "ERR|PIN_REQUIRED");
    typed_ = {"123456"};
    EXPECT_EQ(run(Op::kVerifyPin), "OK");
    EXPECT_EQ(run(Op::kRead, request).substr(0, 3), "OK|");
    request.authType = 2;
    EXPECT_EQ(run(Op::kRead, request), "ERR|BAD_AUTH_TYPE");
}

TEST_F(IcCard, ThreeWrongPinsBlockAndUnblockRestores) {
    typed_ = {"111111", "222222", "333333"};
    EXPECT_EQ(run(Op::kVerifyPin), "ERR|PIN_WRONG|2");
    EXPECT_EQ(run(Op::kVerifyPin), "ERR|PIN_WRONG|1");
    EXPECT_EQ(run(Op::kVerifyPin), "ERR|PIN_BLOCKED");
    EXPECT_EQ(card_->pinTriesLeft(), 0);
    typed_ = {"123456"};
    EXPECT_EQ(run(Op::kVerifyPin), "ERR|PIN_BLOCKED") << "even the right PIN";
    EXPECT_EQ(prompts_, 3) << "a blocked card does not prompt";
    EXPECT_EQ(run(Op::kChangePin), "ERR|PIN_BLOCKED");
    EXPECT_EQ(run(Op::kDebit, paying("100")), "ERR|PIN_BLOCKED");
    EXPECT_EQ(run(Op::kUnblockPin, forCard()), "OK");
    EXPECT_EQ(run(Op::kVerifyPin), "OK");
    EXPECT_EQ(card_->pinTriesLeft(), 3);
}

TEST_F(IcCard, TheRightPinResetsTheCounterAndACancelledPromptCostsNothing) {
    typed_ = {"000000", "", "123456", "000000"};
    EXPECT_EQ(run(Op::kVerifyPin), "ERR|PIN_WRONG|2");
    EXPECT_EQ(run(Op::kVerifyPin), "ERR|CANCELLED");
    EXPECT_EQ(card_->pinTriesLeft(), 2);
    EXPECT_EQ(run(Op::kVerifyPin), "OK");
    EXPECT_EQ(run(Op::kVerifyPin), "ERR|PIN_WRONG|2");
}

TEST_F(IcCard, ChangeAndReloadSetTheTypedPin) {
    typed_ = {"123456", "2468"};
    EXPECT_EQ(run(Op::kChangePin), "OK");
    typed_ = {"123456"};
    EXPECT_EQ(run(Op::kVerifyPin), "ERR|PIN_WRONG|2") << "the old PIN is gone";
    typed_ = {"2468"};
    EXPECT_EQ(run(Op::kVerifyPin), "OK");
    typed_ = {"2468", "12a4"};
    EXPECT_EQ(run(Op::kChangePin), "ERR|BAD_PIN");
    typed_ = {"9999", "1111"};
    EXPECT_EQ(run(Op::kChangePin), "ERR|PIN_WRONG|2") << "a wrong old PIN costs a try";

    typed_ = {"777777"};
    EXPECT_EQ(run(Op::kReloadPin, forCard()), "OK");
    EXPECT_EQ(card_->pinTriesLeft(), 3);
    typed_ = {"777777"};
    EXPECT_EQ(run(Op::kVerifyPin), "OK");
}

TEST_F(IcCard, AStepHandsTheNextStepItsKey) {
    EXPECT_EQ(run(Op::kReadStep1, forCard("EF05")), "OK|T1");
    EXPECT_EQ(run(Op::kReadStep2, withKey("T1")), "OK|110101199003071233|ZHANG SAN|1|01");
    EXPECT_EQ(run(Op::kReadStep2, withKey("T1")), "ERR|NO_SESSION") << "a key serves once";

    EXPECT_EQ(run(Op::kWriteStep1, forCard("EF07")), "OK|T2");
    IcRequest write = withKey("OK|T2");  // the whole step answer does as well
    write.writeData = "stepped";
    EXPECT_EQ(run(Op::kWriteStep2, write), "OK|7");
    EXPECT_EQ(run(Op::kRead, forCard("EF07")), "OK|stepped");

    EXPECT_EQ(run(Op::kReadBasicStep1), "OK|T3");
    const std::string stepped = run(Op::kReadBasicStep2, withKey("T3"));
    EXPECT_EQ(stepped, run(Op::kReadBasic));
}

TEST_F(IcCard, AWrongKeyFailsTheStepAndEndsTheSession) {
    EXPECT_EQ(run(Op::kDebitStep1, paying("250")), "OK|T1");
    EXPECT_EQ(run(Op::kDebitStep2, withKey("T2")), "ERR|BAD_KEY");
    EXPECT_EQ(run(Op::kDebitStep2, withKey("T1")), "ERR|NO_SESSION");
    EXPECT_EQ(card_->balance(), 10000);
}

TEST_F(IcCard, AnyOtherCommandEndsAPendingSession) {
    EXPECT_EQ(run(Op::kReloadPinStep1, forCard()), "OK|T1");
    run(Op::kReadBasic);
    EXPECT_EQ(run(Op::kReloadPinStep2, withKey("T1")), "ERR|NO_SESSION");
    EXPECT_EQ(run(Op::kReadStep1, forCard("EF05")), "OK|T2");
    EXPECT_EQ(run(Op::kWriteStep2, withKey("T2")), "ERR|NO_SESSION")
        << "the key of another operation";
}

TEST_F(IcCard, UnblockingTakesThreeSteps) {
    typed_ = {"0", "0", "0"};
    for (int i = 0; i < 3; ++i) run(Op::kVerifyPin);
    ASSERT_EQ(card_->pinTriesLeft(), 0);
    EXPECT_EQ(run(Op::kUnblockPinStep1, forCard()), "OK|T1");
    EXPECT_EQ(run(Op::kUnblockPinStep3, withKey("T1")), "ERR|NO_SESSION") << "step 2 comes first";
    EXPECT_EQ(run(Op::kUnblockPinStep1, forCard()), "OK|T2");
    EXPECT_EQ(run(Op::kUnblockPinStep2, withKey("T2")), "OK|T3");
    EXPECT_EQ(card_->pinTriesLeft(), 0);
    EXPECT_EQ(run(Op::kUnblockPinStep3, withKey("T3")), "OK");
    EXPECT_EQ(card_->pinTriesLeft(), 3);
}

TEST_F(IcCard, SteppedReloadTypesTheNewPinAtTheLastStep) {
    EXPECT_EQ(run(Op::kReloadPinStep1, forCard()), "OK|T1");
    EXPECT_EQ(prompts_, 0);
    typed_ = {"5555"};
    EXPECT_EQ(run(Op::kReloadPinStep2, withKey("T1")), "OK");
    typed_ = {"5555"};
    EXPECT_EQ(run(Op::kVerifyPin), "OK");
}

TEST_F(IcCard, DebitsLowerTheBalanceAndAreListedNewestFirst) {
    EXPECT_EQ(run(Op::kDebit, paying("1250|Pharmacy")), "OK|1|1250|8750");
    EXPECT_EQ(run(Op::kDebitStep1, paying("750")), "OK|T1");
    EXPECT_EQ(card_->balance(), 8750) << "step 1 only asks";
    EXPECT_EQ(run(Op::kDebitStep2, withKey("T1")), "OK|2|750|8000");
    EXPECT_EQ(run(Op::kReadDebitRecord), "OK|8000|2|2,750,8000,|1,1250,8750,Pharmacy");
    EXPECT_EQ(run(Op::kDebit, paying("8001")), "ERR|NO_FUNDS|8000");
    EXPECT_EQ(run(Op::kDebit, paying("8000")), "OK|3|8000|0");
}

TEST_F(IcCard, PaymentInformationIsChecked) {
    for (const char* payInfo : {"", "0", "-5", "12.50", "1234567890", "5|a,b", "5|a|b",
                                "5|12345678901234567890123456789012345678901"}) {
        EXPECT_EQ(run(Op::kDebit, paying(payInfo)), "ERR|BAD_PAY_INFO") << payInfo;
        EXPECT_EQ(run(Op::kDebitStep1, paying(payInfo)), "ERR|BAD_PAY_INFO") << payInfo;
    }
    EXPECT_EQ(card_->balance(), 10000);
}

TEST_F(IcCard, TheCardRemembersItsLastTenDebits) {
    for (int i = 1; i <= 12; ++i) run(Op::kDebit, paying("1"));
    const std::string list = run(Op::kReadDebitRecord);
    EXPECT_EQ(list.substr(0, 11), "OK|9988|10|");
    EXPECT_NE(list.find("|12,1,9988,"), std::string::npos);
    EXPECT_NE(list.find("|3,1,9997,"), std::string::npos);
    EXPECT_EQ(list.find("|2,1,"), std::string::npos);
}

TEST_F(IcCard, WithoutACardEveryOperationSaysSo) {
    IcCardSettings absent = sampleCards().icCard;
    absent.present = false;
    recreate(absent);
    for (Op operation :
         {Op::kReadBasic, Op::kRead, Op::kVerifyPin, Op::kDebitStep2, Op::kReadDebitRecord}) {
        EXPECT_EQ(run(operation, forCard("EF05")), "ERR|NO_CARD");
    }
    EXPECT_EQ(prompts_, 0);
}

// The longest answers the card can give fit the smallest buffer the service passes for them.
TEST_F(IcCard, TheLongestAnswersFitTheirBuffers) {
    IcRequest write = forCard("EF06");
    write.writeData = std::string(kIcCardFileBytes, 'd');
    run(Op::kWrite, write);
    EXPECT_LT(run(Op::kRead, forCard("EF06")).size(), 20480u);
    const std::string merchant(40, 'm');
    IcCardSettings rich = sampleCards().icCard;
    rich.balance = 20000000000;  // beyond what a file may set
    recreate(rich);
    for (int i = 0; i < 12; ++i) run(Op::kDebit, paying("999999999|" + merchant));
    EXPECT_LT(run(Op::kReadDebitRecord).size(), 2048u);
    EXPECT_LT(run(Op::kDebit, paying("999999999|" + merchant)).size(), 512u);
    EXPECT_LT(run(Op::kReadBasic).size(), 1024u);
}

TEST(SimulatedIcCardReader, TypesTheConfiguredEntriesInOrderAndRepeatsTheLast) {
    IcCardSettings settings = sampleCards().icCard;
    settings.pinPad = {"000000", "123456"};
    SimulatedIcCardReader reader(settings);
    std::string answer;
    EXPECT_EQ(reader.run(IcOperation::kVerifyPin, {}, answer), kFailed);
    EXPECT_EQ(answer, "ERR|PIN_WRONG|2");
    EXPECT_EQ(reader.run(IcOperation::kVerifyPin, {}, answer), kOk);
    EXPECT_EQ(reader.run(IcOperation::kVerifyPin, {}, answer), kOk);
    // Its session keys are 16 hexadecimal digits and differ from one session to the next.
    std::string first, second;
    reader.run(IcOperation::kReadBasicStep1, {}, first);
    reader.run(IcOperation::kReadBasicStep1, {}, second);
    ASSERT_EQ(first.size(), 19u);
    EXPECT_EQ(first.find_first_not_of("0123456789ABCDEF", 3), std::string::npos);
    EXPECT_NE(first, second);
    IcRequest key;
    key.key = second.substr(3);
    EXPECT_EQ(reader.run(IcOperation::kReadBasicStep2, key, answer), kOk);
}

}  // namespace
