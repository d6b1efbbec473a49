// Talking to a chip card: whole answers behind 61xx and 6Cxx on both protocols, a card that goes
// away, BER-TLV as cards lay it out, and what an answer to reset tells.
#include <gtest/gtest.h>

#include <deque>
#include <utility>

#include "model_cards.h"
#include "pictavo/cards/answer_to_reset.h"
#include "pictavo/cards/apdu_session.h"
#include "pictavo/cards/ber_tlv.h"

namespace {

using namespace pictavo;
using cardmodels::hex;
using cardmodels::tlv;
using cardmodels::operator+;

// Each command must be the next one expected; the card then gives the scripted answer. An
// exhausted script is a card that went away.
class ScriptedChannel final : public CardChannel {
  public:
    ScriptedChannel(bool t0, std::deque<std::pair<std::string, std::string>> script)
        : t0_(t0), script_(std::move(script)) {}

    bool transmit(const Bytes& command, Bytes& response) override {
        if (script_.empty()) return false;
        EXPECT_EQ(hexText(command), script_.front().first);
        response = hex(script_.front().second);
        script_.pop_front();
        return true;
    }
    bool usesT0() const override { return t0_; }
    bool finished() const { return script_.empty(); }

  private:
    bool t0_;
    std::deque<std::pair<std::string, std::string>> script_;
};

const Command kSelect{0x00, 0xA4, 0x04, 0x00, hex("A000000333010101"), 0x00};

TEST(ApduSession, CaseFourCommandsCarryLeOnlyOverT1) {
    EXPECT_EQ(hexText(encodeCommand(kSelect, false)), "00A4040008A00000033301010100");
    EXPECT_EQ(hexText(encodeCommand(kSelect, true)), "00A4040008A000000333010101");
    const Command readRecord{0x00, 0xB2, 0x01, 0x0C, {}, 0x00};
    EXPECT_EQ(hexText(encodeCommand(readRecord, true)), "00B2010C00");
    const Command selectFile{0x00, 0xA4, 0x02, 0x00, hex("EF05"), std::nullopt};
    EXPECT_EQ(hexText(encodeCommand(selectFile, false)), "00A4020002EF05");
}

TEST(ApduSession, DataHeldBackBehind61xxIsFetchedUntilTheCardHasNoMore) {
    ScriptedChannel channel(true, {{"00A4040008A000000333010101", "6104"},
                                   {"00C0000004", "6F0284006102"},
                                   {"00C0000002", "A5009000"}});
    ApduSession session(channel);
    CardAnswer answer;
    ASSERT_TRUE(session.send(kSelect, answer));
    EXPECT_TRUE(answer.ok());
    EXPECT_EQ(hexText(answer.data), "6F028400A500");
    EXPECT_TRUE(channel.finished());
}

TEST(ApduSession, AWrongLengthIsAskedForAgainWithTheLengthTheCardNames) {
    for (bool t0 : {true, false}) {
        ScriptedChannel channel(t0, {{"00B2010C00", "6C03"}, {"00B2010C03", "7001AA9000"}});
        ApduSession session(channel);
        CardAnswer answer;
        ASSERT_TRUE(session.send(Command{0x00, 0xB2, 0x01, 0x0C, {}, 0x00}, answer));
        EXPECT_EQ(hexText(answer.data), "7001AA");
        EXPECT_EQ(answer.status, 0x9000);
    }
}

TEST(ApduSession, ErrorsAreAnswersButACardThatGoesAwayEndsTheRead) {
    ScriptedChannel refused(false, {{"00A4040008A00000033301010100", "6A82"}});
    ApduSession refusedSession(refused);
    CardAnswer answer;
    ASSERT_TRUE(refusedSession.send(kSelect, answer));
    EXPECT_EQ(answer.status, 0x6A82);

    // Pulled out between the 61xx and the GET RESPONSE; an answer too short to hold a status.
    ScriptedChannel removed(true, {{"00A4040008A000000333010101", "6110"}});
    EXPECT_FALSE(ApduSession(removed).send(kSelect, answer));
    ScriptedChannel garbled(false, {{"00A4040008A00000033301010100", "90"}});
    EXPECT_FALSE(ApduSession(garbled).send(kSelect, answer));
}

TEST(ApduSession, ACardThatNeverStopsAnswering61xxIsGivenUp) {
    std::deque<std::pair<std::string, std::string>> script{{"00A4040008A000000333010101", "6101"}};
    for (int i = 0; i < 40; ++i) script.emplace_back("00C0000001", "AA6101");
    ScriptedChannel channel(true, script);
    CardAnswer answer;
    EXPECT_FALSE(ApduSession(channel).send(kSelect, answer));
}

TEST(BerTlv, FindsTagsAtAnyDepthPastPaddingAndLongLengths) {
    // Lengths of 128 and more take a second byte (81 xx); cards fill gaps with 00.
    const Bytes data =
        tlv(0x6F, tlv(0x84, hex("ABCD")) + tlv(0xA5, hex("0000") + tlv(0x9F38, hex("112233")) +
                                                         tlv(0xBF0C, Bytes(130, 0xAB))));
    ASSERT_EQ(data[1], 0x81);
    EXPECT_EQ(findTlv(data, 0x9F38), hex("112233"));
    EXPECT_EQ(findTlv(data, 0x84), hex("ABCD"));
    EXPECT_EQ(findTlv(data, 0xBF0C)->size(), 130u);
    EXPECT_FALSE(findTlv(data, 0x5A));

    const Bytes twoApplications = hex("6103 4F01AA 6103 4F01BB");
    EXPECT_EQ(findAllTlv(twoApplications, 0x4F), (std::vector<Bytes>{{0xAA}, {0xBB}}));
}

TEST(BerTlv, MalformedDataIsRefusedNotRunPast) {
    EXPECT_FALSE(parseTlvList(hex("5A0512345678")));    // value runs past the end
    EXPECT_FALSE(parseTlvList(hex("9F")));              // tag cut off
    EXPECT_FALSE(parseTlvList(hex("5A84FFFFFFFF00")));  // four length bytes
    EXPECT_FALSE(findTlv(hex("70055A0812"), 0x5A));     // inner object runs past its template
    ASSERT_TRUE(parseTlvList(hex("800278009000")));
    EXPECT_EQ(parseTlvList(hex("8002780000FF"))->size(), 1u);
}

TEST(BerTlv, DataObjectListsGiveTagsAndLengths) {
    const auto dol = parseDol(hex("9F66049F02065F2A029A03DF6001"));
    ASSERT_TRUE(dol);
    ASSERT_EQ(dol->size(), 5u);
    EXPECT_EQ((*dol)[0].tag, 0x9F66u);
    EXPECT_EQ((*dol)[0].length, 4u);
    EXPECT_EQ((*dol)[3].tag, 0x9Au);
    EXPECT_EQ((*dol)[4].tag, 0xDF60u);
    EXPECT_FALSE(parseDol(hex("9F66")));
}

TEST(AnswerToReset, HistoricalBytesFollowTheInterfaceBytes) {
    // T=0 with TB1 and TC1; T=1 with a chain of TD bytes and a check byte; a contactless card's
    // made-up ATR; a card that announces more bytes than it sent.
    EXPECT_EQ(hexText(*historicalBytes(hex("3B6C00000031C0649000000000000000"))),
              "0031C0649000000000000000");
    EXPECT_EQ(hexText(*historicalBytes(hex("3BEA00008131FE45434E5553410100000000AA"))),
              "434E5553410100000000");
    EXPECT_EQ(hexText(*historicalBytes(hex("3B8A80010031C173C8400000900090"))),
              "0031C173C84000009000");
    EXPECT_FALSE(historicalBytes(hex("3B6C00000031C064")));
    EXPECT_FALSE(historicalBytes(hex("3BF0")));
}

TEST(AnswerToReset, ContactlessCardsAreKnownByTheMadeUpAtr) {
    EXPECT_TRUE(isContactlessAtr(hex("3B8A80010031C173C8400000900090")));
    EXPECT_TRUE(isContactlessAtr(hex("3B8F8001804F0CA000000306030001000000006A")));
    EXPECT_FALSE(isContactlessAtr(hex("3BEA00008131FE45434E5553410100000000AA")));
    EXPECT_FALSE(isContactlessAtr(hex("3B6800008065A20101029000")));
}

}  // namespace
