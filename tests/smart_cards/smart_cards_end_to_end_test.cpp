// Bank and social-security cards end to end: the real service on its built-in library reads
// virtual cards through pcscd and vpcd's virtual readers, in namespaces of this test's own
// (pcsc_lab.h). Inserting and removing a card is starting and stopping it. One process for all
// cases: the namespaces must be entered before any thread starts, and pcscd is started once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "model_cards.h"
#include "pcsc_lab.h"
#include "server_process.h"
#include "virtual_card.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using cardmodels::EmvCardOptions;
using cardmodels::ModelCard;
using cardmodels::SocialCardOptions;
using cardmodels::operator+;

std::string labProblem = "the lab was not started";
PcscLab* lab = nullptr;

// Every case starts with both readers empty (pcscd has seen the last case's cards go).
class SmartCardsEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!labProblem.empty()) GTEST_SKIP() << labProblem;
        ASSERT_TRUE(lab->waitForCard(kFirstReaderPort, false));
        ASSERT_TRUE(lab->waitForCard(kSecondReaderPort, false));
    }

    // Puts the card in and waits until pcscd sees it.
    static bool insert(VirtualCard& card, uint16_t port) {
        return card.insert() && lab->waitForCard(port, true);
    }
};

// The service with a "cards" section of its own in cfg/simulator.json.
class CardService {
  public:
    explicit CardService(const std::string& cards)
        : server_(options(cards)), port_(server_.start()) {
        if (port_ != 0) connected_ = page_.connect(port_);
    }

    bool ready() const { return connected_; }
    ServerProcess& server() { return server_; }

    // The quoted result of `name`, or a text saying what came instead.
    std::string result(const std::string& name, const std::string& argument = "{}") {
        const std::optional<std::string> reply =
            page_.roundTrip("{\"FuncName\":\"" + name + "\",\"argument\":" + argument + "}");
        const std::string head = "{\"FuncName\":\"" + name + "\",\"result\":\"";
        if (!reply) return "<no reply>";
        if (reply->rfind(head, 0) != 0 || reply->size() < head.size() + 2) return "<" + *reply + ">";
        return reply->substr(head.size(), reply->size() - head.size() - 2);
    }

  private:
    static ServerProcess::Options options(const std::string& cards) {
        ServerProcess::Options options;
        options.simulatorJson =
            R"({"cameras": {"simulated": false}, "cards": )" + cards + "}";
        // The lab's pcscd, at the standard socket inside its namespace.
        options.environment["PCSCLITE_CSOCK_NAME"] = "/run/pcscd/pcscd.comm";
        return options;
    }

    ServerProcess server_;
    uint16_t port_;
    WsTestClient page_;
    bool connected_ = false;
};

const char* const kRealOnly =
    R"({"simulated": false, "terminal": {"number": "T01", "deviceNumber": "D02"}})";

TEST_F(SmartCardsEndToEnd, ABankCardIsReadAndGoneOnceTakenOut) {
    CardService service(kRealOnly);
    ASSERT_TRUE(service.ready()) << service.server().standardError();
    EXPECT_EQ(service.result("ReadBankCard"), "") << "no card yet";

    EmvCardOptions options;
    options.t0 = true;
    ModelCard model = cardmodels::emvCard(options);
    VirtualCard card(model, kFirstReaderPort);
    ASSERT_TRUE(insert(card, kFirstReaderPort));
    EXPECT_EQ(service.result("ReadBankCard"), options.number);
    EXPECT_EQ(service.result("iReadICCardNum"), options.number);
    EXPECT_EQ(model.protocolErrors(), 0) << "Le after data on T=0";

    // At once, before pcscd has noticed, and after.
    card.remove();
    EXPECT_EQ(service.result("ReadBankCard"), "") << "the first read after removal";
    ASSERT_TRUE(lab->waitForCard(kFirstReaderPort, false));
    EXPECT_EQ(service.result("iReadICCardNum"), "");

    ASSERT_TRUE(insert(card, kFirstReaderPort));
    EXPECT_EQ(service.result("ReadBankCard"), options.number) << "read again once back in";

    // Nothing of the card reaches the service's output.
    service.server().stop();
    EXPECT_EQ(service.server().standardError().find(options.number), std::string::npos);
    EXPECT_EQ(service.server().standardOutput().find(options.number), std::string::npos);
}

TEST_F(SmartCardsEndToEnd, AContactlessBankCardIsReadThroughItsProximityDirectory) {
    CardService service(kRealOnly);
    ASSERT_TRUE(service.ready());
    EmvCardOptions options;
    options.contactless = true;
    options.format2 = true;
    options.number = "4761739001010010";
    ModelCard model = cardmodels::emvCard(options);
    VirtualCard card(model, kSecondReaderPort);
    ASSERT_TRUE(insert(card, kSecondReaderPort));
    EXPECT_EQ(service.result("ReadBankCard"), options.number);
    const std::vector<cardmodels::Bytes> commands = model.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), cardmodels::hex("00A404000E") + cardmodels::kProximityDirectory +
                                    cardmodels::Bytes{0x00});
}

TEST_F(SmartCardsEndToEnd, ASocialSecurityCardGivesItsBasicData) {
    CardService service(kRealOnly);
    ASSERT_TRUE(service.ready());
    ModelCard model = cardmodels::socialSecurityCard(SocialCardOptions());
    VirtualCard card(model, kFirstReaderPort);
    ASSERT_TRUE(insert(card, kFirstReaderPort));
    EXPECT_EQ(service.result("ReadSBKCaard"), "李四|女|回族|B12345678|330100|330102199202021234");
    EXPECT_EQ(service.result("iReadCardBas", R"({"iType":1})"),
              "330100|330102199202021234|B12345678|330100D15600000500A1B2C3D4E5F601|李四|"
              "0031C0649000000000000000|3.00|20210315|20310315|T01|D02|");
    // The rest of the family needs the issuer's security module: a failure, never made up.
    EXPECT_EQ(service.result("iVerifyPIN", R"({"iType":1})"), "");
    EXPECT_EQ(service.result("iReadCard", R"({"iType":1,"pCardInfo":"B12345678","pFileAddr":"EF06"})"),
              "");
    EXPECT_EQ(service.result("ReadBankCard"), "") << "not a bank card";

    service.server().stop();
    for (const char* secret : {"330102199202021234", "B12345678", "李四"}) {
        EXPECT_EQ(service.server().standardError().find(secret), std::string::npos) << secret;
    }
}

TEST_F(SmartCardsEndToEnd, TheTypeChoosesBetweenAContactAndAContactlessCard) {
    CardService service(kRealOnly);
    ASSERT_TRUE(service.ready());
    SocialCardOptions contactOptions;
    contactOptions.t0 = true;
    ModelCard contact = cardmodels::socialSecurityCard(contactOptions);
    SocialCardOptions contactlessOptions;
    contactlessOptions.contactless = true;
    contactlessOptions.cardNumber = "C87654321";
    ModelCard contactless = cardmodels::socialSecurityCard(contactlessOptions);
    VirtualCard first(contactless, kFirstReaderPort);
    VirtualCard second(contact, kSecondReaderPort);
    ASSERT_TRUE(insert(first, kFirstReaderPort));
    ASSERT_TRUE(insert(second, kSecondReaderPort));

    const auto cardNumberFor = [&](int type) {
        const std::string text =
            service.result("iReadCardBas", "{\"iType\":" + std::to_string(type) + "}");
        return text.size() > 35 ? text.substr(26, 9) : "<" + text + ">";
    };
    EXPECT_EQ(cardNumberFor(1), "B12345678");
    EXPECT_EQ(cardNumberFor(2), "C87654321");
    EXPECT_EQ(cardNumberFor(3), "B12345678");
    EXPECT_EQ(cardNumberFor(4), "C87654321");
    const std::string contactFirst = "李四|女|回族|B12345678|";
    EXPECT_EQ(service.result("ReadSBKCaard").substr(0, contactFirst.size()), contactFirst);
    EXPECT_EQ(contact.protocolErrors(), 0);

    // With the contact card gone, "contact first" finds the contactless one.
    second.remove();
    ASSERT_TRUE(lab->waitForCard(kSecondReaderPort, false));
    EXPECT_EQ(cardNumberFor(3), "C87654321");
    EXPECT_EQ(service.result("iReadCardBas", R"({"iType":1})"), "");
}

TEST_F(SmartCardsEndToEnd, ARealCardAnswersBeforeTheSimulatedOne) {
    CardService service(R"({"simulated": true})");
    ASSERT_TRUE(service.ready());
    EXPECT_EQ(service.result("ReadBankCard"), "6200000000000000000") << "the simulated card";
    EXPECT_EQ(service.result("iVerifyPIN", R"({"iType":1})"), "OK");

    ModelCard model = cardmodels::emvCard(EmvCardOptions());
    VirtualCard card(model, kFirstReaderPort);
    ASSERT_TRUE(insert(card, kFirstReaderPort));
    EXPECT_EQ(service.result("ReadBankCard"), "6222021234567890128");
    EXPECT_EQ(service.result("ReadSBKCaard"), "|||||") << "a bank card has no social-security data";
    EXPECT_EQ(service.result("iVerifyPIN", R"({"iType":1})"), "");

    card.remove();
    ASSERT_TRUE(lab->waitForCard(kFirstReaderPort, false));
    EXPECT_EQ(service.result("ReadBankCard"), "6200000000000000000");
    EXPECT_EQ(service.result("iVerifyPIN", R"({"iType":1})"), "OK");
}

TEST_F(SmartCardsEndToEnd, ACardPulledOutMidReadGivesNothingAndTheNextReadWorks) {
    CardService service(kRealOnly);
    ASSERT_TRUE(service.ready());
    EmvCardOptions options;
    ModelCard model = cardmodels::emvCard(options);
    VirtualCard card(model, kFirstReaderPort);
    ASSERT_TRUE(insert(card, kFirstReaderPort));
    ASSERT_EQ(service.result("ReadBankCard"), options.number);
    card.removeAfter(4);  // after the application's SELECT
    EXPECT_EQ(service.result("ReadBankCard"), "");
    ASSERT_TRUE(lab->waitForCard(kFirstReaderPort, false));
    ASSERT_TRUE(insert(card, kFirstReaderPort));
    EXPECT_EQ(service.result("ReadBankCard"), options.number);
}

}  // namespace
}  // namespace lenvaro::testing

int main(int argc, char** argv) {
    lenvaro::testing::PcscLab lab;
    lenvaro::testing::labProblem = lab.start();
    lenvaro::testing::lab = &lab;
    if (!lenvaro::testing::labProblem.empty()) {
        std::printf("SKIPPED: %s\n", lenvaro::testing::labProblem.c_str());
    }
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (status != 0 && lenvaro::testing::labProblem.empty()) {
        std::printf("---- pcscd's log\n%s\n", lab.log().c_str());
    }
    lab.stop();
    return status;
}
