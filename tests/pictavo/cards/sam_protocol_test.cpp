// The ID card reader's security module on paper: its frames (the module's own known answers,
// replies in pieces, after noise, damaged) and the four card layouts it hands out.
#include <gtest/gtest.h>

#include "model_cards.h"
#include "pictavo/cards/answer_to_reset.h"
#include "pictavo/cards/id_card_text.h"
#include "pictavo/cards/sam_frames.h"
#include "sam_module_emulator.h"

namespace {

using namespace pictavo;
using cardmodels::hex;
using cardmodels::operator+;

TEST(SamFrames, RequestsAndTheModulesKnownAnswers) {
    EXPECT_EQ(hexText(samRequest(kSamFindCard)), "AAAAAA9669000320012" "2");
    EXPECT_EQ(hexText(samRequest(kSamReadBaseWithFingerprints)), "AAAAAA96690003301023");
    const struct {
        const char* frame;
        uint8_t sw3;
        size_t dataSize;
    } known[] = {
        {"AAAAAA96690004000080" "84", 0x80, 0},                   // no card
        {"AAAAAA9669000800009F0000000097", 0x9F, 4},               // card found
        {"AAAAAA9669000C00009000000000000000009C", 0x90, 8},       // selected
    };
    for (const auto& answer : known) {
        SamFrameParser parser;
        parser.feed(hex(answer.frame));
        const std::optional<SamReply> reply = parser.nextReply();
        ASSERT_TRUE(reply) << answer.frame;
        EXPECT_EQ(reply->sw3, answer.sw3);
        EXPECT_EQ(reply->data.size(), answer.dataSize);
        EXPECT_EQ(hexText(samFrame(Bytes{0, 0, answer.sw3} + reply->data)), answer.frame);
    }
    // Base reads: 1295 bytes, 2321 with two fingerprint records.
    samtest::SamModuleEmulator module;
    module.putCard({});
    EXPECT_EQ(module.reply({0x30, 0x01}).size(), 1295u);
    EXPECT_EQ(module.reply({0x30, 0x10}).size(), 2321u);
}

TEST(SamFrames, ParserTakesPiecesSkipsNoiseAndRejectsDamage) {
    const Bytes good = hex("AAAAAA9669000800009F0000000097");
    Bytes badChecksum = good;
    badChecksum.back() ^= 1;
    const Bytes shortLength = hex("AAAAAA966900020055");
    const Bytes longLength = hex("AAAAAA96690400");  // noise: 1024 bytes that never come
    const struct {
        const char* name;
        Bytes stream;
        size_t pieceSize;
        bool damage;
    } cases[] = {
        {"whole", good, 0, false},
        {"byte by byte", good, 1, false},
        {"after noise", hex("00FFAA13AAAA") + good, 3, false},
        {"after a false start", longLength + good, 5, false},
        {"after a bad checksum", badChecksum + good, 0, true},
        {"after a bad length", shortLength + good, 4, true},
    };
    for (const auto& test : cases) {
        SamFrameParser parser;
        std::optional<SamReply> reply;
        const size_t piece = test.pieceSize == 0 ? test.stream.size() : test.pieceSize;
        for (size_t at = 0; at < test.stream.size() && !reply; at += piece) {
            parser.feed(test.stream.data() + at, std::min(piece, test.stream.size() - at));
            reply = parser.nextReply();
        }
        ASSERT_TRUE(reply) << test.name;
        EXPECT_EQ(reply->sw3, 0x9F) << test.name;
        EXPECT_EQ(parser.sawDamage(), test.damage) << test.name;
    }
    SamFrameParser parser;
    parser.feed(badChecksum);
    EXPECT_FALSE(parser.nextReply());
    EXPECT_TRUE(parser.sawDamage());
}

samtest::CardText textOf(std::initializer_list<std::tuple<size_t, size_t, std::u16string>> parts) {
    samtest::CardText text = samtest::blankText();
    for (const auto& [offset, bytes, value] : parts) samtest::putUcs2(text, offset, bytes, value);
    return text;
}

TEST(IdCardText, FourLayoutsGiveTheNineFields) {
    using Fields = std::array<std::u16string, 9>;
    const struct {
        const char* name;
        samtest::CardText text;
        IdCardKind kind;
        Fields fields;
    } cases[] = {
        {"resident", samtest::residentText({u"张三", u"1", u"01", u"19900307", u"北京市东城区示例街1号",
                                            u"110101199003071233", u"北京市公安局东城分局",
                                            u"20200101", u"长期"}),
         IdCardKind::kResident,
         {u"张三", u"男", u"汉", u"19900307", u"北京市东城区示例街1号", u"110101199003071233",
          u"北京市公安局东城分局", u"20200101", u"长期"}},
        {"resident, codes at the edges",
         samtest::residentText({u"买买提·艾力", u"9", u"97", u"1", u"", u"", u"", u"", u""}),
         IdCardKind::kResident, {u"买买提·艾力", u"未说明", u"其他", u"1", u"", u"", u"", u"", u""}},
        {"Hong Kong, Macau, Taiwan",
         textOf({{0, 30, u"陈大文"}, {30, 2, u"2"}, {36, 16, u"19800101"}, {52, 70, u"香港"},
                 {122, 36, u"810000198001010028"}, {158, 30, u"公安部"}, {188, 16, u"20200101"},
                 {204, 16, u"20250101"}, {220, 18, u"H12345678"}, {248, 2, u"J"}}),
         IdCardKind::kHongKongMacauTaiwan,
         {u"陈大文", u"女", u"", u"19800101", u"香港", u"810000198001010028", u"公安部", u"20200101",
          u"20250101"}},
        {"foreign 2017",
         textOf({{0, 120, u"SMITH, JOHN PAUL"}, {120, 2, u"1"}, {122, 30, u"USA110079091502"},
                 {152, 6, u"USA"}, {158, 30, u"史密斯"}, {188, 16, u"20170101"}, {204, 16, u"20270101"},
                 {220, 16, u"19790915"}, {236, 4, u"02"}, {240, 8, u"1100"}, {248, 2, u"I"}}),
         IdCardKind::kForeign2017,
         {u"史密斯", u"男", u"USA", u"19790915", u"SMITH, JOHN PAUL", u"USA110079091502", u"1100",
          u"20170101", u"20270101"}},
        {"foreign 2023, a name past 35 characters and none in Chinese",
         textOf({{30, 2, u"2"}, {36, 16, u"19850620"},
                 {52, 70, u"WOLFESCHLEGELSTEINHAUSENBERGERDORFF"}, {122, 36, u"932110198506201234"},
                 {188, 16, u"20230101"}, {204, 16, u"20330101"}, {220, 22, u", ANNA LENA"},
                 {242, 6, u"DEU"}, {248, 2, u"Y"}}),
         IdCardKind::kForeign2023,
         {u"WOLFESCHLEGELSTEINHAUSENBERGERDORFF, ANNA LENA", u"女", u"DEU", u"19850620",
          u"WOLFESCHLEGELSTEINHAUSENBERGERDORFF, ANNA LENA", u"932110198506201234", u"",
          u"20230101", u"20330101"}},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(idCardKindOf(test.text.data()), test.kind) << test.name;
        const Fields fields = idCardFields(test.text.data());
        for (size_t i = 0; i < 9; ++i) EXPECT_TRUE(fields[i] == test.fields[i]) << test.name << " field " << i;
    }
}

TEST(IdCardText, DeviceBytesNeverBreakTheRecord) {
    // Separators, control characters and a lone surrogate half, as a damaged card might hold.
    samtest::CardText text = samtest::residentText({u"张|三\r\n\x01", u"1", u"01", u"", u"", u"", u"", u"", u""});
    text[6] = 0x00;
    text[7] = 0xD8;
    const std::array<std::u16string, 9> fields = idCardFields(text.data());
    EXPECT_TRUE(fields[0] == u"张三") << fields[0].size();
    // A field longer than its record width is cut, never split inside a surrogate pair.
    std::array<std::u16string, 9> longName{};
    longName[0] = std::u16string(28, u'名') + u"\U00020000";
    IdCardRecord record;
    record.fill(0xEE);
    putIdCardFields(record, longName);
    EXPECT_EQ(record[54], static_cast<uint8_t>(u'名' & 0xFF));
    EXPECT_EQ(record[55], static_cast<uint8_t>(u'名' >> 8));
    EXPECT_EQ(record[56], 0);  // the surrogate pair did not fit with its zero unit
    EXPECT_EQ(record[57], 0);
}

}  // namespace
