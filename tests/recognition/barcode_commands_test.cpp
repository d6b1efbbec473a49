// The barcode commands through the recording fake: arguments and presets handed to the library,
// and the reply texts made of what it gives back.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "code_page_scope.h"
#include "fake_pictavo.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

// A record as the library fills it: the given (name, text) entries and a count.
std::vector<uint8_t> resultSet(const std::vector<std::pair<std::string, std::string>>& entries,
                               int count) {
    auto set = std::make_unique<BarcodeResultSet>();
    std::memset(set.get(), 0, sizeof(BarcodeResultSet));
    for (size_t i = 0; i < entries.size(); ++i) {
        std::memcpy(set->results[i].text1, entries[i].first.data(), entries[i].first.size());
        std::memcpy(set->results[i].text2, entries[i].second.data(), entries[i].second.size());
    }
    set->count = count;
    return bytesOf(*set);
}

class BarcodeCommands : public lenvaro::testing::CommandTest {};

TEST_F(BarcodeCommands, RecognizeJoinsEveryEntryAsFormatColonText) {
    Fake::program("coderRecognizeBarcode",
                  Outcome::returns(0).withBytes({resultSet({{"QR", "A1"}, {"EAN13", "123"}}, 2)}));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"/s/a.jpg"}})"),
              Texts{R"({"FuncName":"coderRecognizeBarcode","result":"QR:A1|EAN13:123"})"});
    // The library receives a prepared record, not a zeroed one: its integers are preset to -1.
    EXPECT_EQ(harness_.calls(), Texts{R"(coderRecognizeBarcode("/s/a.jpg", dirty[84484]))"});
}

TEST_F(BarcodeCommands, RecognizeWithOneEntryOrAnEmptyTextStillGivesItsPiece) {
    Fake::program("coderRecognizeBarcode",
                  Outcome::returns(0).withBytes({resultSet({{"QR", ""}}, 1)}));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})"),
              Texts{R"({"FuncName":"coderRecognizeBarcode","result":"QR:"})"});
    Fake::program("coderRecognizeBarcode",
                  Outcome::returns(0).withBytes({resultSet({{"CODE128", "x\"y"}}, 1)}));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})"),
              Texts{R"({"FuncName":"coderRecognizeBarcode","result":"CODE128:x"y"})"});
}

// A page splits at every "|" and each piece at its first ":"; the characters that would split a
// code wrongly come as percent escapes, which decodeURIComponent undoes.
TEST_F(BarcodeCommands, RecognizeEscapesWhatWouldSplitACode) {
    Fake::program("coderRecognizeBarcode",
                  Outcome::returns(0).withBytes({resultSet(
                      {{"QR", "https://a.example/?q=1|2"}, {"CODE128", "100%"}, {"X:Y", "t"}}, 3)}));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})"),
              Texts{R"({"FuncName":"coderRecognizeBarcode","result":")"
                    R"(QR:https://a.example/?q=1%7C2|CODE128:100%25|X%3AY:t"})"});

    // In GBK 0x7C may be a character's second byte (9C 7C): that is no separator.
    const CodePageScope gbk("GBK");
    Fake::program("coderRecognizeBarcode",
                  Outcome::returns(0).withBytes({resultSet({{"QR", "\x9C\x7C|"}}, 1)}));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})"),
              Texts{"{\"FuncName\":\"coderRecognizeBarcode\",\"result\":\"QR:\x9C\x7C%7C\"}"});
}

TEST_F(BarcodeCommands, RecognizeFailureOrNoCodeRepliesEmpty) {
    Fake::program("coderRecognizeBarcode",
                  Outcome::returns(-1).withBytes({resultSet({{"QR", "A1"}}, 1)}));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})"),
              Texts{R"({"FuncName":"coderRecognizeBarcode","result":""})"});
    Fake::program("coderRecognizeBarcode", Outcome::returns(0).withBytes({resultSet({}, 0)}));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})"),
              Texts{R"({"FuncName":"coderRecognizeBarcode","result":""})"});
    Fake::program("coderRecognizeBarcode",
                  Outcome::returns(0).withBytes({resultSet({{"QR", "A1"}}, -3)}));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})"),
              Texts{R"({"FuncName":"coderRecognizeBarcode","result":""})"});
    // Untouched by the library: the record's count was preset to 0.
    Fake::program("coderRecognizeBarcode", Outcome::returns(0));
    EXPECT_EQ(request(R"({"FuncName":"coderRecognizeBarcode"})"),
              Texts{R"({"FuncName":"coderRecognizeBarcode","result":""})"});
    EXPECT_EQ(harness_.calls().back(), R"(coderRecognizeBarcode("", dirty[84484]))");
}

TEST_F(BarcodeCommands, RecognizeReadsNoMoreThanTheRecordHolds) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 64; ++i) entries.emplace_back("QR", std::to_string(i));
    Fake::program("coderRecognizeBarcode",
                  Outcome::returns(0).withBytes({resultSet(entries, 1000)}));
    const Texts replies =
        request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})");
    ASSERT_EQ(replies.size(), 1u);
    std::string expected;
    for (int i = 0; i < 64; ++i) expected += (i ? "|QR:" : "QR:") + std::to_string(i);
    EXPECT_EQ(replies[0], R"({"FuncName":"coderRecognizeBarcode","result":")" + expected + R"("})");
}

TEST_F(BarcodeCommands, RecognizeKeepsLongTextsWholeAndStopsAtUnterminatedFields) {
    // 64 entries with 1023-character texts: far beyond 2047 characters, all of it arrives.
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 64; ++i) entries.emplace_back("PDF417", std::string(1023, 'a' + i % 26));
    Fake::program("coderRecognizeBarcode", Outcome::returns(0).withBytes({resultSet(entries, 64)}));
    Texts replies = request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].size(),
              std::string(R"({"FuncName":"coderRecognizeBarcode","result":""})").size() +
                  64 * (6 + 1 + 1023) + 63);

    // A first text that fills its 256 bytes without a terminator ends at the field's end
    // instead of running on into the second text.
    auto set = std::make_unique<BarcodeResultSet>();
    std::memset(set.get(), 0, sizeof(BarcodeResultSet));
    std::memset(set->results[0].text1, 'N', sizeof set->results[0].text1);
    std::memcpy(set->results[0].text2, "T", 1);
    set->count = 1;
    Fake::program("coderRecognizeBarcode", Outcome::returns(0).withBytes({bytesOf(*set)}));
    replies = request(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":"a"}})");
    EXPECT_EQ(replies, Texts{R"({"FuncName":"coderRecognizeBarcode","result":")" +
                             std::string(256, 'N') + R"(:T"})"});
}

TEST_F(BarcodeCommands, NameByBarcodePassesOneForAnyNonZeroValueOnTheCurrentDevice) {
    harness_.service().currentDevice = 2;
    Fake::program("coderNameByBarcode", Outcome::returns(-3));
    EXPECT_EQ(request(R"({"FuncName":"coderNameByBarcode","argument":{"IsAvailabel":5}})"),
              Texts{R"({"FuncName":"coderNameByBarcode","result":"-3"})"});
    request(R"({"FuncName":"coderNameByBarcode","argument":{"IsAvailabel":0}})");
    request(R"({"FuncName":"coderNameByBarcode"})");
    request(R"({"FuncName":"coderNameByBarcode","argument":{"IsAvailabel":true}})");
    request(R"({"FuncName":"coderNameByBarcode","argument":{"IsAvailabel":-1}})");
    EXPECT_EQ(harness_.calls(), Texts({"coderNameByBarcode(2, 1)", "coderNameByBarcode(2, 0)",
                                       "coderNameByBarcode(2, 0)", "coderNameByBarcode(2, 0)",
                                       "coderNameByBarcode(2, 1)"}));
}

TEST_F(BarcodeCommands, RecognizeToListRepliesTheCountNotTheStatus) {
    Fake::program("ocrRecognizeBarcode", Outcome::returns(-4).withInts({3}));
    EXPECT_EQ(
        request(
            R"({"FuncName":"ocrRecognizeBarcode","argument":{"strBarcodePath":"/b.png","nCodeType":2}})"),
        Texts{R"({"FuncName":"ocrRecognizeBarcode","result":"3"})"});
    Fake::program("ocrRecognizeBarcode", Outcome::returns(0));
    EXPECT_EQ(
        request(R"({"FuncName":"ocrRecognizeBarcode","argument":{"strBarcodePath":"/b.png"}})"),
        Texts{R"({"FuncName":"ocrRecognizeBarcode","result":"0"})"});
    EXPECT_EQ(harness_.calls(), Texts({R"(ocrRecognizeBarcode("/b.png", 2, &0))",
                                       R"(ocrRecognizeBarcode("/b.png", 0, &0))"}));
}

TEST_F(BarcodeCommands, RecognizeRectPassesTheRectangleAfterTheCodeType) {
    Fake::program("ocrRecognizeBarcodeRect", Outcome::returns(0).withInts({1}));
    EXPECT_EQ(
        request(
            R"({"FuncName":"ocrRecognizeBarcodeRect","argument":{"strBarcodePath":"p","ileft":10,"itop":20,"iright":300,"ibottom":400,"nCodeType":1}})"),
        Texts{R"({"FuncName":"ocrRecognizeBarcodeRect","result":"1"})"});
    Fake::program("ocrRecognizeBarcodeRect", Outcome::returns(-2));
    EXPECT_EQ(request(R"({"FuncName":"ocrRecognizeBarcodeRect","argument":{"ileft":"10"}})"),
              Texts{R"({"FuncName":"ocrRecognizeBarcodeRect","result":"0"})"});
    EXPECT_EQ(harness_.calls(), Texts({R"(ocrRecognizeBarcodeRect("p", 1, 10, 20, 300, 400, &0))",
                                       R"(ocrRecognizeBarcodeRect("", 0, 0, 0, 0, 0, &0))"}));
}

TEST_F(BarcodeCommands, GetBarcodeTextRepliesTheBufferOrEmpty) {
    Fake::program("ocrGetBarcodeText", Outcome::returns(0).withTexts({"https://x/?a=1&b=\"2\""}));
    EXPECT_EQ(request(R"({"FuncName":"ocrGetBarcodeText","argument":{"nIndex":1}})"),
              Texts{R"({"FuncName":"ocrGetBarcodeText","result":"https://x/?a=1&b="2""})"});
    Fake::program("ocrGetBarcodeText", Outcome::returns(-2));
    EXPECT_EQ(request(R"({"FuncName":"ocrGetBarcodeText","argument":{"nIndex":9}})"),
              Texts{R"({"FuncName":"ocrGetBarcodeText","result":""})"});
    EXPECT_EQ(harness_.calls(), Texts({"ocrGetBarcodeText(1, zeroed[2048], &2048)",
                                       "ocrGetBarcodeText(9, zeroed[2048], &2048)"}));
}

}  // namespace
}  // namespace lenvaro
