// Social-security, bank and magnetic card commands over the recording fake: the reader reset
// (all but iReadICCardNum), the field order of each reply, fields running to the end of their
// record, and the conversion of the fields into the internal code page.
#include <gtest/gtest.h>

#include "fake_pictavo.h"
#include "common/code_page.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

const Texts kReset = {"idcardrfidUnInit()", "idcardrfidInit()"};

Texts after(Texts first, const Texts& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

class CardReaderCommands : public lenvaro::testing::CommandTest {};

TEST_F(CardReaderCommands, SocialCardFieldsComeInTheOrderPagesRelyOn) {
    Bytes record(PICTAVO_SOCIAL_CARD_RECORD_SIZE, 0);
    const size_t offsets[6] = {0, 40, 80, 120, 160, 260};
    for (size_t i = 0; i < 6; ++i) {
        putUtf16(record, offsets[i], u"F" + std::u16string(1, static_cast<char16_t>(u'1' + i)));
    }
    Fake::program("camGetSsseInfo", Outcome::returns(-2).withBytes({record}));
    EXPECT_EQ(request(R"({"FuncName":"ReadSBKCaard"})"),
              Texts{R"({"FuncName":"ReadSBKCaard","result":"F2|F3|F4|F6|F5|F1"})"});
    EXPECT_EQ(harness_.calls(), after(kReset, {"camGetSsseInfo(zeroed[304])"}));
}

TEST_F(CardReaderCommands, EmptyRecordsGiveOnlyTheSeparators) {
    EXPECT_EQ(request(R"({"FuncName":"ReadSBKCaard"})"),
              Texts{R"({"FuncName":"ReadSBKCaard","result":"|||||"})"});
    EXPECT_EQ(request(R"({"FuncName":"ReadMagneticCard"})"),
              Texts{R"({"FuncName":"ReadMagneticCard","result":"||"})"});
    EXPECT_EQ(request(R"({"FuncName":"ReadBankCard"})"),
              Texts{R"({"FuncName":"ReadBankCard","result":""})"});
    EXPECT_EQ(request(R"({"FuncName":"iReadICCardNum"})"),
              Texts{R"({"FuncName":"iReadICCardNum","result":""})"});
}

TEST_F(CardReaderCommands, FieldsThatRunToTheEndOfTheirRecordStopThere) {
    Bytes social(PICTAVO_SOCIAL_CARD_RECORD_SIZE, 0);
    putUtf16(social, 260, std::u16string(22, u'6'));  // the last field fills the record
    putUtf16(social, 0, std::u16string(20, u'1'));
    Fake::program("camGetSsseInfo", Outcome().withBytes({social}));
    EXPECT_EQ(request(R"({"FuncName":"ReadSBKCaard"})"),
              Texts{R"({"FuncName":"ReadSBKCaard","result":"|||)" + std::string(22, '6') + "||" +
                    std::string(20, '1') + "\"}"});

    Bytes bank(PICTAVO_BANK_CARD_TEXT_SIZE, 0);
    putUtf16(bank, 0, std::u16string(54, u'8'));  // no room left for a zero unit
    Fake::program("camGetBankCardInfo", Outcome().withBytes({bank}));
    EXPECT_EQ(request(R"({"FuncName":"ReadBankCard"})"),
              Texts{R"({"FuncName":"ReadBankCard","result":")" + std::string(54, '8') + "\"}"});

    Bytes mag(PICTAVO_MAG_CARD_RECORD_SIZE, 0);
    putUtf16(mag, 0, std::u16string(200, u'a'));
    putUtf16(mag, 400, u";b=");
    putUtf16(mag, 800, std::u16string(200, u'c'));
    Fake::program("camGetMagCard", Outcome().withBytes({mag}));
    EXPECT_EQ(request(R"({"FuncName":"ReadMagneticCard"})"),
              Texts{R"({"FuncName":"ReadMagneticCard","result":")" + std::string(200, 'a') +
                    "|;b=|" + std::string(200, 'c') + "\"}"});
}

TEST_F(CardReaderCommands, BankCardAndIcCardNumberMakeTheSameCallOnlyTheFormerResets) {
    Bytes bank(PICTAVO_BANK_CARD_TEXT_SIZE, 0);
    putUtf16(bank, 0, u"6200000000000000000");
    Fake::program("camGetBankCardInfo", Outcome::returns(-3).withBytes({bank}));
    EXPECT_EQ(request(R"({"FuncName":"ReadBankCard"})"),
              Texts{R"({"FuncName":"ReadBankCard","result":"6200000000000000000"})"});
    EXPECT_EQ(request(R"({"FuncName":"iReadICCardNum"})"),
              Texts{R"({"FuncName":"iReadICCardNum","result":"6200000000000000000"})"});
    EXPECT_EQ(harness_.calls(), after(kReset, {"camGetBankCardInfo(zeroed[108])",
                                               "camGetBankCardInfo(zeroed[108])"}));
}

TEST_F(CardReaderCommands, MagneticCardResetsAndJoinsItsThreeTracks) {
    Bytes mag(PICTAVO_MAG_CARD_RECORD_SIZE, 0);
    putUtf16(mag, 0, u"t1");
    putUtf16(mag, 800, u"t3");
    Fake::program("camGetMagCard", Outcome().withBytes({mag}));
    EXPECT_EQ(request(R"({"FuncName":"ReadMagneticCard"})"),
              Texts{R"({"FuncName":"ReadMagneticCard","result":"t1||t3"})"});
    EXPECT_EQ(harness_.calls(), after(kReset, {"camGetMagCard(zeroed[1200])"}));
}

TEST_F(CardReaderCommands, FieldsAreConvertedIntoTheInternalCodePage) {
    Bytes record(PICTAVO_SOCIAL_CARD_RECORD_SIZE, 0);
    putUtf16(record, 40, u"张三");
    putUtf16(record, 0, u"\U0001F600");  // outside GBK: the replacement character
    Fake::program("camGetSsseInfo", Outcome().withBytes({record}));
    setInternalCodePage("GBK");
    const Texts sent = request(R"({"FuncName":"ReadSBKCaard"})");
    setInternalCodePage("UTF-8");
#ifdef _WIN32
    // The system's conversion replaces each of the two UTF-16 units of the emoji.
    const std::string replaced = "??";
#else
    const std::string replaced = "?";
#endif
    EXPECT_EQ(sent, Texts{"{\"FuncName\":\"ReadSBKCaard\",\"result\":\"\xD5\xC5\xC8\xFD|||||" + replaced + "\"}"});
}

}  // namespace
}  // namespace lenvaro
