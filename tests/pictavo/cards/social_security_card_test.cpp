// A social-security card's basic data: records read by tag on both protocols, names in GBK, the
// ways cards store sex and ethnicity, the national code tables, and cards that fall short.
#include "pictavo/cards/social_security_card.h"

#include <gtest/gtest.h>

#include "model_cards.h"
#include "model_channel.h"
#include "pictavo/cards/answer_to_reset.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using cardmodels::hex;
using cardmodels::ModelCard;
using cardmodels::SocialCardOptions;
using pictavo::testing::ModelChannel;

int readCard(ModelCard& card, SocialSecurityCard& data, int commandsBeforeRemoval = -1) {
    ModelChannel channel(card, commandsBeforeRemoval);
    ApduSession session(channel);
    return readSocialSecurityCard(session, data);
}

TEST(SocialSecurityCard, TheBasicDataIsReadOnBothProtocols) {
    for (bool t0 : {false, true}) {
        SocialCardOptions options;
        options.t0 = t0;
        ModelCard card = cardmodels::socialSecurityCard(options);
        SocialSecurityCard data;
        ASSERT_EQ(readCard(card, data), kOk) << t0;
        EXPECT_EQ(data.cardCode, "330100D15600000500A1B2C3D4E5F601");
        EXPECT_EQ(data.region(), "330100");
        EXPECT_EQ(data.cardType, "3");
        EXPECT_EQ(data.version, "3.00");
        EXPECT_EQ(data.issueDate, "20210315");
        EXPECT_EQ(data.expiryDate, "20310315");
        EXPECT_EQ(data.cardNumber, "B12345678");
        EXPECT_EQ(data.socialNumber, "330102199202021234");
        EXPECT_EQ(data.name, "李四");
        EXPECT_EQ(data.sexCode, 2);
        EXPECT_EQ(data.ethnicityCode, 3);
        EXPECT_EQ(card.protocolErrors(), 0);
    }
}

TEST(SocialSecurityCard, SexAndEthnicityAreReadHoweverTheCardStoresThem) {
    struct Case {
        Bytes sex;
        Bytes ethnicity;
        std::string sexName;
        std::string ethnicityName;
    };
    const Case cases[] = {
        {{'1'}, {0x01}, "男", "汉族"},          // ASCII digit, BCD
        {{0x02}, {0x10}, "女", "朝鲜族"},       // binary, BCD 10 (not binary 16)
        {{0x01}, {'0', '8'}, "男", "壮族"},     // ASCII digits
        {{0x01}, {0x56}, "男", "基诺族"},       // the last of the 56
        {{0x02}, {0x98}, "女", "外国血统中国籍人士"},
        {{0x02}, {0x2A}, "女", "怒族"},          // not BCD: binary 42
        {{0x09}, {0x77}, "", "77"},              // unknown codes: no sex, the ethnicity's digits
        {{0x00}, {0x00}, "", ""},                // not filled in
    };
    for (const Case& c : cases) {
        SocialCardOptions options;
        options.sex = c.sex;
        options.ethnicity = c.ethnicity;
        ModelCard card = cardmodels::socialSecurityCard(options);
        SocialSecurityCard data;
        ASSERT_EQ(readCard(card, data), kOk);
        EXPECT_EQ(sexName(data.sexCode), c.sexName) << hexText(c.sex);
        EXPECT_EQ(ethnicityName(data.ethnicityCode), c.ethnicityName) << hexText(c.ethnicity);
    }
}

TEST(SocialSecurityCard, NamesAreGbkWithoutTheirFiller) {
    EXPECT_EQ(gbkToUtf8(hex("D5C5C8FD000000")), "张三");
    EXPECT_EQ(gbkToUtf8(hex("C5B7D1F4C4C8C4C820202020")), "欧阳娜娜");
    EXPECT_EQ(gbkToUtf8(hex("CDF5FFFFFF")), "王");
    EXPECT_EQ(gbkToUtf8(hex("8139EF30")), "\xE3\x90\x81");  // U+3401, four bytes in GB 18030
    // A byte that starts no character becomes U+FFFD; the rest is still read.
    EXPECT_EQ(gbkToUtf8(hex("D5C580C8FD")), "张\xEF\xBF\xBD三");
    EXPECT_EQ(gbkToUtf8(hex("D5")), "\xEF\xBF\xBD");
}

TEST(SocialSecurityCard, MissingOptionalRecordsLeaveTheirFieldsEmpty) {
    ModelCard card = cardmodels::socialSecurityCard(SocialCardOptions());
    card.files[0xEF05].erase(0x03);
    card.files[0xEF05].erase(0x05);
    card.files[0xEF05][0x06] = hex("2031FF15");  // not a date
    card.files[0xEF06].erase(0x0A);
    SocialSecurityCard data;
    ASSERT_EQ(readCard(card, data), kOk);
    EXPECT_EQ(data.version, "");
    EXPECT_EQ(data.issueDate, "");
    EXPECT_EQ(data.expiryDate, "");
    EXPECT_EQ(data.sexCode, -1);
    EXPECT_EQ(data.name, "李四");
}

TEST(SocialSecurityCard, CardsWithoutTheApplicationOrItsKeyRecordsFail) {
    ModelCard bankCard = cardmodels::emvCard(cardmodels::EmvCardOptions());
    SocialSecurityCard data;
    EXPECT_EQ(readCard(bankCard, data), kFailed);
    EXPECT_EQ(bankCard.commands().size(), 1u);

    for (auto [file, tag] : {std::pair<uint16_t, uint8_t>{0xEF05, 0x01}, {0xEF05, 0x07},
                             {0xEF06, 0x08}, {0xEF06, 0x09}}) {
        ModelCard card = cardmodels::socialSecurityCard(SocialCardOptions());
        card.files[file].erase(tag);
        EXPECT_EQ(readCard(card, data), kFailed) << std::hex << file << " " << int(tag);
    }
    SocialCardOptions pipe;
    pipe.cardNumber = "B1234|678";  // would break the "|"-separated answers
    ModelCard card = cardmodels::socialSecurityCard(pipe);
    EXPECT_EQ(readCard(card, data), kFailed);
}

TEST(SocialSecurityCard, ACardPulledOutMidReadFails) {
    ModelCard whole = cardmodels::socialSecurityCard(SocialCardOptions());
    SocialSecurityCard data;
    ASSERT_EQ(readCard(whole, data), kOk);
    const int commands = static_cast<int>(whole.commands().size());
    for (int left = 0; left < commands; ++left) {
        ModelCard card = cardmodels::socialSecurityCard(SocialCardOptions());
        EXPECT_EQ(readCard(card, data, left), kFailed) << left;
    }
}

TEST(SocialSecurityCard, TheBasicDataTextEndsEveryFieldWithABar) {
    BasicDataFields fields;
    fields.region = "330100";
    fields.socialNumber = "330102199202021234";
    fields.cardNumber = "B12345678";
    fields.cardCode = "330100D15600000500A1B2C3D4E5F601";
    fields.name = "李四";
    fields.historicalBytes = "0031C0649000";
    fields.version = "3.00";
    fields.issueDate = "20210315";
    fields.expiryDate = "20310315";
    fields.terminalNumber = "T01";
    EXPECT_EQ(basicDataText(fields),
              "330100|330102199202021234|B12345678|330100D15600000500A1B2C3D4E5F601|李四|"
              "0031C0649000|3.00|20210315|20310315|T01||");
    // Pages split at every "|": a field holding one (or a control character) loses it rather
    // than move every later field.
    fields.version = "3|00";
    fields.terminalNumber = "T\r\n01\x7F";
    EXPECT_EQ(basicDataText(fields),
              "330100|330102199202021234|B12345678|330100D15600000500A1B2C3D4E5F601|李四|"
              "0031C0649000|300|20210315|20310315|T01||");
}

}  // namespace
