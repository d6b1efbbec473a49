// Real chip cards in front of the simulated readers: which reader answers, in which order cards
// are tried for each iType, what the records and the basic data hold, and that a real card that
// cannot answer never lets simulated data through.
#include "pictavo/cards/chip_card_reader.h"

#include <gtest/gtest.h>

#include <memory>

#include "model_cards.h"
#include "model_channel.h"
#include "pictavo/cards/simulated_card_reader.h"
#include "pictavo/cards/simulated_ic_card_reader.h"
#include "pictavo/status.h"
#ifdef PICTAVO_WITH_PCSC
#include <winscard.h>

#include "pictavo/cards/pcsc_card_access.h"
#endif

namespace {

using namespace pictavo;
using cardmodels::ModelCard;
using pictavo::testing::ModelChannel;

// Readers with the model cards in them, in the system's order.
class FakeCardAccess final : public SmartCardAccess {
  public:
    struct Slot {
        ModelCard* card;
        bool contactless;
    };
    std::vector<Slot> slots;
    CardSearch withoutSlots = CardSearch::kNoReader;
    std::vector<ReaderOrder> orders;

    CardSearch readCard(ReaderOrder order, const Read& read) override {
        orders.push_back(order);
        if (slots.empty()) return withoutSlots;
        std::vector<bool> kinds;
        for (const Slot& slot : slots) kinds.push_back(slot.contactless);
        const std::vector<size_t> tried = cardsInOrder(kinds, order);
        if (tried.empty()) return CardSearch::kNoCard;
        for (size_t index : tried) {
            ModelCard& card = *slots[index].card;
            card.reset();
            ModelChannel channel(card);
            if (read(InsertedCard{channel, card.atr, slots[index].contactless})) {
                return CardSearch::kRead;
            }
        }
        return CardSearch::kUnreadable;
    }
};

TerminalSettings terminal() {
    TerminalSettings settings;
    settings.number = "T01";
    settings.deviceNumber = "D02";
    return settings;
}

std::u16string fieldAt(const uint8_t* record, size_t byteOffset, size_t widthUnits) {
    std::u16string text;
    for (size_t i = 0; i < widthUnits; ++i) {
        const auto unit = static_cast<char16_t>(record[byteOffset + 2 * i] |
                                                record[byteOffset + 2 * i + 1] << 8);
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

struct Readers {
    std::shared_ptr<FakeCardAccess> access = std::make_shared<FakeCardAccess>();
    ChipCardReader cards{access, terminal(), std::make_unique<SimulatedCardReader>(sampleCards())};
    ChipIcCardReader ic{access, terminal(),
                        std::make_unique<SimulatedIcCardReader>(sampleCards().icCard)};
};

std::u16string bankNumber(Readers& readers, int& status) {
    BankCardText text{};
    text.fill(0x55);
    status = readers.cards.readBankCard(text);
    return status == kOk ? fieldAt(text.data(), 0, 54) : u"<untouched>";
}

TEST(ChipCardReader, ABankCardInAReaderAnswersBeforeTheSimulatedOne) {
    Readers readers;
    ModelCard card = cardmodels::emvCard(cardmodels::EmvCardOptions());
    readers.access->slots = {{&card, false}};
    int status = 0;
    EXPECT_EQ(bankNumber(readers, status), u"6222021234567890128");
    EXPECT_EQ(status, kOk);
    EXPECT_EQ(readers.access->orders.back(), ReaderOrder::kContactFirst);
}

TEST(ChipCardReader, WithoutARealCardTheNextReaderAnswers) {
    for (CardSearch search : {CardSearch::kNoService, CardSearch::kNoReader, CardSearch::kNoCard}) {
        Readers readers;
        readers.access->withoutSlots = search;
        int status = 0;
        EXPECT_EQ(bankNumber(readers, status), u"6200000000000000000");
        SocialCardRecord record{};
        EXPECT_EQ(readers.cards.readSocialCard(record), kOk);
        EXPECT_EQ(fieldAt(record.data(), kSocialCardFieldOffsets[1], 20), u"张三");
    }
    // Nothing behind: no reader at all is "no device", an empty reader "no card".
    auto access = std::make_shared<FakeCardAccess>();
    ChipCardReader alone(access, terminal(), std::make_unique<NoCardReader>());
    BankCardText text{};
    access->withoutSlots = CardSearch::kNoReader;
    EXPECT_EQ(alone.readBankCard(text), kNoDevice);
    access->withoutSlots = CardSearch::kNoCard;
    EXPECT_EQ(alone.readBankCard(text), kFailed);
}

TEST(ChipCardReader, ARealCardThatCannotAnswerFailsRatherThanShowSimulatedData) {
    Readers readers;
    ModelCard socialCard = cardmodels::socialSecurityCard(cardmodels::SocialCardOptions());
    ModelCard bankCard = cardmodels::emvCard(cardmodels::EmvCardOptions());
    readers.access->slots = {{&socialCard, false}};
    int status = 0;
    EXPECT_EQ(bankNumber(readers, status), u"<untouched>");
    EXPECT_EQ(status, kFailed);

    readers.access->slots = {{&bankCard, false}};
    SocialCardRecord record{};
    record.fill(0x55);
    EXPECT_EQ(readers.cards.readSocialCard(record), kFailed);
    EXPECT_EQ(record[0], 0x55);
}

TEST(ChipCardReader, TheSocialSecurityRecordHoldsNumberNameSexEthnicityRegionAndCardNumber) {
    Readers readers;
    ModelCard card = cardmodels::socialSecurityCard(cardmodels::SocialCardOptions());
    readers.access->slots = {{&card, false}};
    SocialCardRecord record{};
    ASSERT_EQ(readers.cards.readSocialCard(record), kOk);
    const std::u16string expected[6] = {u"330102199202021234", u"李四", u"女",
                                        u"回族",               u"330100", u"B12345678"};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(fieldAt(record.data(), kSocialCardFieldOffsets[i], kSocialCardFieldWidths[i]),
                  expected[i])
            << i;
    }
}

TEST(ChipIcCardReader, TheBasicDataComesFromTheCardInTheReaderTheTypeAsksFor) {
    Readers readers;
    cardmodels::SocialCardOptions contactOptions;
    ModelCard contact = cardmodels::socialSecurityCard(contactOptions);
    cardmodels::SocialCardOptions contactlessOptions;
    contactlessOptions.contactless = true;
    contactlessOptions.cardNumber = "C87654321";
    ModelCard contactless = cardmodels::socialSecurityCard(contactlessOptions);
    readers.access->slots = {{&contactless, true}, {&contact, false}};

    struct Case {
        int type;
        const char* cardNumber;
    };
    for (const Case& c : {Case{0, "B12345678"}, Case{1, "B12345678"}, Case{2, "C87654321"},
                          Case{3, "B12345678"}, Case{4, "C87654321"}}) {
        IcRequest request;
        request.type = c.type;
        std::string out;
        ASSERT_EQ(readers.ic.run(IcOperation::kReadBasic, request, out), kOk) << c.type;
        EXPECT_EQ(out.find(std::string("|") + c.cardNumber + "|"), 25u) << c.type << " " << out;
    }
    IcRequest request;
    request.type = 1;
    std::string out;
    readers.ic.run(IcOperation::kReadBasic, request, out);
    EXPECT_EQ(out,
              "330100|330102199202021234|B12345678|330100D15600000500A1B2C3D4E5F601|李四|"
              "0031C0649000000000000000|3.00|20210315|20310315|T01|D02|");
}

TEST(ChipIcCardReader, OperationsNeedingASecurityModuleFailOnARealCard) {
    Readers readers;
    ModelCard card = cardmodels::socialSecurityCard(cardmodels::SocialCardOptions());
    IcRequest request;
    request.type = 1;
    request.cardInfo = "A01234567";
    request.fileAddress = "EF06";
    std::string out = "stale";
    // The simulated card alone answers.
    EXPECT_EQ(readers.ic.run(IcOperation::kRead, request, out), kOk);
    EXPECT_EQ(out, "OK");
    readers.access->slots = {{&card, false}};
    for (IcOperation operation : {IcOperation::kRead, IcOperation::kVerifyPin,
                                  IcOperation::kReadBasicStep1, IcOperation::kDebit}) {
        out = "stale";
        EXPECT_EQ(readers.ic.run(operation, request, out), kFailed);
        EXPECT_EQ(out, "");
    }
    // A type no reader knows: the real card is there, so no simulated answer either.
    request.type = 7;
    EXPECT_EQ(readers.ic.run(IcOperation::kReadBasic, request, out), kFailed);
    EXPECT_EQ(out, "");
    readers.access->slots.clear();
    readers.access->withoutSlots = CardSearch::kNoCard;
    EXPECT_EQ(readers.ic.run(IcOperation::kReadBasic, request, out), kFailed);
    EXPECT_EQ(out, "ERR|BAD_TYPE");
}

TEST(ChipIcCardReader, ACardOnTheOtherKindOfReaderLeavesTheSimulatedCardToAnswer) {
    Readers readers;
    ModelCard card = cardmodels::socialSecurityCard(cardmodels::SocialCardOptions());
    readers.access->slots = {{&card, false}};
    IcRequest request;
    request.type = 2;  // contactless only
    std::string out;
    EXPECT_EQ(readers.ic.run(IcOperation::kReadBasic, request, out), kOk);
    EXPECT_EQ(out.substr(0, 26), "110100|110101199003071233|") << out;
}

TEST(ChipCardReader, CardsAreTriedInTheOrderTheTypeAsks) {
    const std::vector<bool> found{true, false, true, false};  // contactless, contact, ...
    using Order = std::vector<size_t>;
    EXPECT_EQ(cardsInOrder(found, ReaderOrder::kContactFirst), (Order{1, 3, 0, 2}));
    EXPECT_EQ(cardsInOrder(found, ReaderOrder::kContactlessFirst), (Order{0, 2, 1, 3}));
    EXPECT_EQ(cardsInOrder(found, ReaderOrder::kContactOnly), (Order{1, 3}));
    EXPECT_EQ(cardsInOrder(found, ReaderOrder::kContactlessOnly), (Order{0, 2}));
    EXPECT_EQ(cardsInOrder({}, ReaderOrder::kContactFirst), Order{});
}

#ifdef PICTAVO_WITH_PCSC
TEST(PcscCardAccess, ErrorsOfTheServiceMapToWhatTheSearchFound) {
    EXPECT_EQ(searchEndOf(SCARD_E_NO_SERVICE), CardSearch::kNoService);
    EXPECT_EQ(searchEndOf(SCARD_E_SERVICE_STOPPED), CardSearch::kNoService);
    EXPECT_EQ(searchEndOf(SCARD_E_INVALID_HANDLE), CardSearch::kNoService);
    EXPECT_EQ(searchEndOf(SCARD_E_NO_READERS_AVAILABLE), CardSearch::kNoReader);
    EXPECT_EQ(searchEndOf(SCARD_E_UNKNOWN_READER), CardSearch::kNoReader);
    EXPECT_EQ(searchEndOf(SCARD_E_NO_SMARTCARD), CardSearch::kNoCard);
    EXPECT_EQ(searchEndOf(SCARD_W_REMOVED_CARD), CardSearch::kNoCard);
}

TEST(PcscCardAccess, ReaderNamesCanSayContactless) {
    EXPECT_TRUE(isContactlessReaderName("ACS ACR1252 Dual Reader [ACR1252 Dual Reader PICC] 00 00"));
    EXPECT_TRUE(isContactlessReaderName("Identiv uTrust 3700 F Contactless Reader 00 00"));
    EXPECT_FALSE(isContactlessReaderName("Generic Smart Card Reader Interface 00 00"));
}
#endif

}  // namespace
