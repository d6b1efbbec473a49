// The "cards" section: the samples fit their records, a section changes only what it names, and
// a bad section is refused with a reason that never quotes card data.
#include "pictavo/cards/card_settings.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <memory>

#include "pictavo/config.h"

namespace {

using namespace pictavo;

Json::Value parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
    return value;
}

std::string read(const std::string& section, CardSettings& settings,
                 const std::string& base = "/etc/lenvaro") {
    settings = sampleCards();
    return readCardSettings(parse(section), base, settings);
}

TEST(CardSettings, TheSamplesFitTheirFieldsWithRoomForTheZeroUnit) {
    const CardSettings cards = sampleCards();
    EXPECT_TRUE(cards.simulated);
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_FALSE(cards.idCard.fields[i].empty()) << i;
        EXPECT_LT(cards.idCard.fields[i].size(), kIdCardFieldWidths[i]) << i;
    }
    for (size_t i = 0; i < 6; ++i)
        EXPECT_LT(cards.socialCard.fields[i].size(), kSocialCardFieldWidths[i]);
    EXPECT_LE(cards.bankCard.number.size(), kBankCardNumberUnits);
    EXPECT_EQ(cards.idCard.fields[0], u"张三");
    EXPECT_EQ(cards.icCard.pinPad, std::vector<std::string>{cards.icCard.pin});
}

TEST(CardSettings, ASectionChangesWhatItNamesAndKeepsTheRest) {
    CardSettings cards;
    ASSERT_EQ(read(R"({
        "idCard": {"present": false, "photo": "faces/me.bmp", "fingerprints": 1,
                   "fields": ["李四", "女", "汉", "20000101", "addr", "id", "office", "a", "b"]},
        "bankCard": {"number": "4111"},
        "icCard": {"pin": "9999", "balance": 5, "files": {"DF01/EF01": "x"}}
    })",
                   cards),
              "");
    EXPECT_FALSE(cards.idCard.present);
    EXPECT_EQ(cards.idCard.fields[0], u"李四");
    EXPECT_EQ(cards.idCard.photoFile, "/etc/lenvaro/faces/me.bmp");
    EXPECT_EQ(cards.idCard.fingerprints, 1);
    EXPECT_EQ(cards.bankCard.number, u"4111");
    EXPECT_EQ(cards.socialCard.fields, sampleCards().socialCard.fields);
    EXPECT_EQ(cards.icCard.pin, "9999");
    EXPECT_EQ(cards.icCard.pinPad, std::vector<std::string>{"9999"})
        << "the holder knows the new PIN";
    EXPECT_EQ(cards.icCard.balance, 5);
    EXPECT_EQ(cards.icCard.files, (std::map<std::string, std::string>{{"DF01/EF01", "x"}}));
    EXPECT_EQ(cards.icCard.number, sampleCards().icCard.number);

    ASSERT_EQ(read(R"({"idCard": {"photo": "/abs/p.bmp"}, "simulated": false})", cards), "");
    EXPECT_EQ(cards.idCard.photoFile, "/abs/p.bmp");
    EXPECT_FALSE(cards.simulated);
    EXPECT_TRUE(cards.pcsc);

    ASSERT_EQ(read(R"({"pcsc": false, "terminal": {"currencyCode": 978, "number": "T-7"}})", cards),
              "");
    EXPECT_FALSE(cards.pcsc);
    EXPECT_EQ(cards.terminal.countryCode, 156);
    EXPECT_EQ(cards.terminal.currencyCode, 978);
    EXPECT_EQ(cards.terminal.number, "T-7");
    EXPECT_EQ(cards.terminal.deviceNumber, "");
}

TEST(CardSettings, FieldsMustLeaveRoomForTheirZeroUnit) {
    CardSettings cards;
    const std::string secret(29, 'S');  // field 1 holds 30 units, the last one the zero
    EXPECT_EQ(
        read(R"({"idCard": {"fields": [")" + secret + R"(", "", "", "", "", "", "", "", ""]}})",
             cards),
        "");
    const std::string error = read(
        R"({"idCard": {"fields": [")" + secret + R"(S", "", "", "", "", "", "", "", ""]}})", cards);
    EXPECT_NE(error, "");
    EXPECT_EQ(error.find("SSSS"), std::string::npos)
        << "card data stays out of the report: " << error;
    EXPECT_EQ(cards.idCard.fields, sampleCards().idCard.fields)
        << "a refused section changes nothing";
    // Units, not bytes: 53 Chinese characters are 159 bytes of UTF-8 but fit the bank text.
    std::string chinese;
    for (int i = 0; i < 53; ++i) chinese += "六";
    EXPECT_EQ(read(R"({"bankCard": {"number": ")" + chinese + "\"}}", cards), "");
    EXPECT_NE(read(R"({"bankCard": {"number": ")" + chinese + "六\"}}", cards), "");
}

TEST(CardSettings, BadSectionsAreRefusedWithAReason) {
    CardSettings cards;
    for (const char* section : {
             R"([])",
             R"({"idcard": {}})",
             R"({"simulated": "yes"})",
             R"({"idCard": {"fields": ["a"]}})",
             R"({"idCard": {"fingerprints": 3}})",
             R"({"idCard": {"present": 1}})",
             R"({"socialCard": {"fields": [1, 2, 3, 4, 5, 6]}})",
             R"({"magCard": {"tracks": ["", "", "", ""]}})",
             R"({"icCard": {"pin": "12a4"}})",
             R"({"icCard": {"pin": "123"}})",
             R"({"icCard": {"number": ""}})",
             R"({"icCard": {"holder": "A|B"}})",
             R"({"icCard": {"pinPad": []}})",
             R"({"icCard": {"balance": -1}})",
             R"({"icCard": {"balance": 1.5}})",
             R"({"icCard": {"files": {"bad address": ""}}})",
             R"({"icCard": {"files": {"EF01": 5}}})",
             R"({"icCard": {"cardCode": "A|B"}})",
             R"({"pcsc": 1})",
             R"({"terminal": {"countryCode": 1000}})",
             R"({"terminal": {"currencyCode": "156"}})",
             R"({"terminal": {"deviceNumber": "D|1"}})",
             R"({"terminal": {"country": 156}})",
         }) {
        EXPECT_NE(read(section, cards), "") << section;
    }
}

TEST(CardSettings, InvalidUtf8BecomesTheReplacementCharacter) {
    EXPECT_EQ(utf8ToUtf16("a\xC3"), u"a\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xE0\x80\x80z"), u"\uFFFDz") << "overlong";
    EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD") << "an encoded surrogate";
}

// The configuration shipped in cfg/ loads, and its cards are the samples it shows the user.
TEST(CardSettings, TheShippedConfigurationDescribesTheSampleCards) {
    const ConfigResult shipped = loadConfig(PICTAVO_TEST_DATA "/../../../cfg/simulator.json");
    ASSERT_EQ(shipped.state, ConfigResult::State::kLoaded) << shipped.error;
    CardSettings cards = sampleCards();
    ASSERT_EQ(readCardSettings(shipped.config.document["cards"], shipped.config.directory, cards),
              "");
    const CardSettings samples = sampleCards();
    EXPECT_EQ(cards.idCard.fields, samples.idCard.fields);
    EXPECT_EQ(cards.socialCard.fields, samples.socialCard.fields);
    EXPECT_EQ(cards.bankCard.number, samples.bankCard.number);
    EXPECT_EQ(cards.magCard.tracks, samples.magCard.tracks);
    EXPECT_EQ(cards.icCard.files, samples.icCard.files);
    EXPECT_EQ(cards.icCard.pin, samples.icCard.pin);
    EXPECT_EQ(cards.magStripe.readers, samples.magStripe.readers);  // the defaults, shown
    EXPECT_EQ(cards.magStripe.waitMs, samples.magStripe.waitMs);
}

}  // namespace
