// The bank card number from an EMV card: payment directory or not, the PDOL filled from the
// terminal's data, both GPO templates, the records the AFL names, 5A and 57, both protocols and a
// card pulled out mid-read.
#include "pictavo/cards/emv_card.h"

#include <gtest/gtest.h>

#include "model_cards.h"
#include "model_channel.h"
#include "pictavo/cards/answer_to_reset.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using cardmodels::EmvCardOptions;
using cardmodels::hex;
using cardmodels::ModelCard;
using cardmodels::tlv;
using cardmodels::operator+;
using pictavo::testing::ModelChannel;

EmvTerminalData terminal() {
    EmvTerminalData data;
    data.countryCode = 156;
    data.currencyCode = 840;
    data.date = {0x25, 0x06, 0x30};
    data.time = {0x13, 0x45, 0x07};
    data.unpredictableNumber = {0xDE, 0xAD, 0xBE, 0xEF};
    return data;
}

struct Read {
    int status = kFailed;
    std::string number;
};

Read readNumber(ModelCard& card, bool contactless, int commandsBeforeRemoval = -1) {
    ModelChannel channel(card, commandsBeforeRemoval);
    ApduSession session(channel);
    Read read;
    read.status = readEmvCardNumber(session, contactless, terminal(), read.number);
    return read;
}

// The commands of a read, by instruction and first parameter ("A4 04 <name>", "B2 <rec> <p2>").
std::vector<std::string> instructions(const ModelCard& card) {
    std::vector<std::string> list;
    for (const Bytes& command : card.commands()) list.push_back(hexText(command).substr(2, 6));
    return list;
}

TEST(EmvCard, TheNumberIsReadWithEitherDirectoryBothTemplatesAndBothProtocols) {
    struct Case {
        const char* what;
        EmvCardOptions options;
    };
    std::vector<Case> cases;
    for (bool t0 : {false, true}) {
        EmvCardOptions contact;
        contact.t0 = t0;
        cases.push_back({"contact, directory records, template 80", contact});
        EmvCardOptions contactless;
        contactless.contactless = true;
        contactless.format2 = true;
        contactless.t0 = t0;
        contactless.number = "4761739001010010";
        cases.push_back({"contactless, directory in the answer, template 77", contactless});
        EmvCardOptions bare;
        bare.directory = false;
        bare.t0 = t0;
        bare.pdol.clear();
        cases.push_back({"no directory, no PDOL", bare});
    }
    for (const Case& c : cases) {
        ModelCard card = cardmodels::emvCard(c.options);
        const Read read = readNumber(card, c.options.contactless);
        EXPECT_EQ(read.status, kOk) << c.what << (c.options.t0 ? " T=0" : " T=1");
        EXPECT_EQ(read.number, c.options.number) << c.what;
        EXPECT_EQ(card.protocolErrors(), 0) << c.what;
    }
}

TEST(EmvCard, AContactCardIsReadThroughItsDirectoryAndStopsAtTheNumber) {
    ModelCard card = cardmodels::emvCard(EmvCardOptions());
    ASSERT_EQ(readNumber(card, false).status, kOk);
    // PSE and its records (the second is not there), the application, GPO, then records 2.1
    // (track 2) and 2.2 (tag 5A); record 3.1 is never read.
    EXPECT_EQ(instructions(card), (std::vector<std::string>{"A40400", "B2010C", "B2020C", "A40400",
                                                            "A80000", "B20114", "B20214"}));
}

TEST(EmvCard, WithoutADirectoryTheKnownApplicationsAreTriedInTurn) {
    EmvCardOptions options;
    options.directory = false;
    ModelCard card = cardmodels::emvCard(options);
    // The card's application is UnionPay credit, the second on the list.
    const Bytes credit = hex("A000000333010102");
    card.applications[credit] = card.applications[cardmodels::kUnionPayDebit];
    card.applications.erase(cardmodels::kUnionPayDebit);
    const Read read = readNumber(card, false);
    EXPECT_EQ(read.status, kOk);
    EXPECT_EQ(read.number, options.number);
    const std::vector<Bytes> commands = card.commands();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(hexText(commands[2]), "00A4040008A00000033301010100");  // debit: not found
    EXPECT_EQ(hexText(commands[3]), "00A4040008A00000033301010200");
}

TEST(EmvCard, TheProcessingOptionsCarryWhatThePdolAsksInItsOrderAndLengths) {
    EmvCardOptions options;
    // TTQ, amount, amount other, country, TVR, currency, date, type, unpredictable number; then
    // a country code asked as three bytes (right-aligned), a date cut to two (the leftmost
    // bytes of a numeric field go), a tag the terminal does not know (zeros).
    options.pdol = hex("9F6604 9F0206 9F0306 9F1A02 9505 5F2A02 9A03 9C01 9F3704 9F1A03 9A02 DF6003");
    ModelCard card = cardmodels::emvCard(options);
    ASSERT_EQ(readNumber(card, false).status, kOk);
    EXPECT_EQ(hexText(card.lastGpoData()),
              "8329"
              "36000000"
              "000000000000"
              "000000000000"
              "0156"
              "0000000000"
              "0840"
              "250630"
              "00"
              "DEADBEEF"
              "000156"
              "0630"
              "000000");
}

TEST(EmvCard, ANumberOnlyInTrack2IsTakenBeforeTheSeparator) {
    EmvCardOptions options;
    options.numberInTrack2Only = true;
    options.number = "622202123456789";
    ModelCard card = cardmodels::emvCard(options);
    const Read read = readNumber(card, false);
    EXPECT_EQ(read.status, kOk);
    EXPECT_EQ(read.number, "622202123456789");
}

TEST(EmvCard, AContactlessCardCanGiveTheNumberInItsProcessingOptions) {
    EmvCardOptions options;
    options.contactless = true;
    ModelCard card = cardmodels::emvCard(options);
    card.gpoAnswer = tlv(0x77, tlv(0x82, hex("0000")) + tlv(0x57, hex("6222021234567890128D30122010")));
    card.records.clear();
    const Read read = readNumber(card, true);
    EXPECT_EQ(read.status, kOk);
    EXPECT_EQ(read.number, "6222021234567890128");
}

TEST(EmvCard, CardsWithoutAReadableNumberFail) {
    EmvCardOptions options;
    ModelCard refusesGpo = cardmodels::emvCard(options);
    refusesGpo.gpoAnswer.reset();
    EXPECT_EQ(readNumber(refusesGpo, false).status, kFailed);

    ModelCard noPayment;  // not a payment card at all: every SELECT is refused
    EXPECT_EQ(readNumber(noPayment, false).status, kFailed);
    EXPECT_EQ(noPayment.commands().size(), 2u + knownPaymentApplications().size());

    ModelCard brokenPan = cardmodels::emvCard(options);
    brokenPan.records[{2, 1}] = tlv(0x70, tlv(0x5F20, hex("41")));
    brokenPan.records[{2, 2}] = tlv(0x70, tlv(0x5A, hex("62220212A4567890")));
    EXPECT_EQ(readNumber(brokenPan, false).status, kFailed);
}

TEST(EmvCard, ACardPulledOutMidReadFailsAtOnce) {
    for (int commands = 0; commands < 7; ++commands) {
        ModelCard card = cardmodels::emvCard(EmvCardOptions());
        const Read read = readNumber(card, false, commands);
        EXPECT_EQ(read.status, kFailed) << commands;
        EXPECT_EQ(read.number, "") << commands;
        EXPECT_EQ(card.commands().size(), static_cast<size_t>(commands));
    }
}

TEST(EmvCard, NumbersAreDigitsWithoutPadding) {
    EXPECT_EQ(numberFromPan(hex("6222021234567890128F")), "6222021234567890128");
    EXPECT_EQ(numberFromPan(hex("4761739001010010")), "4761739001010010");
    EXPECT_EQ(numberFromPan(hex("4761739001010010FFFF")), "4761739001010010");
    EXPECT_FALSE(numberFromPan(hex("47617390F1010010")));  // padding inside
    EXPECT_FALSE(numberFromPan(hex("4761739A01010010")));
    EXPECT_FALSE(numberFromPan(hex("123456789F")));          // too short for a card number
    EXPECT_FALSE(numberFromPan(hex("12345678901234567890")));  // 20 digits
    EXPECT_EQ(numberFromTrack2(hex("6222021234567890128D3012201000")), "6222021234567890128");
    EXPECT_FALSE(numberFromTrack2(hex("62220212345678901283")));  // no separator
}

}  // namespace
