#include "service/reply.h"

#include <gtest/gtest.h>

namespace lenvaro {
namespace {

TEST(ReplyComposition, QuotedAndRawForms) {
    EXPECT_EQ(composeReply("camGetDevCount", "2", false), R"({"FuncName":"camGetDevCount","result":"2"})");
    EXPECT_EQ(composeReply("camGetDevName", R"(["A","B"])", true),
              R"({"FuncName":"camGetDevName","result":["A","B"]})");
    EXPECT_EQ(composeReply("X", "", false), R"({"FuncName":"X","result":""})");
}

TEST(ReplyComposition, NothingIsEscaped) {
    EXPECT_EQ(composeReply("n", "a\"b\\c\r\n", false), "{\"FuncName\":\"n\",\"result\":\"a\"b\\c\r\n\"}");
    EXPECT_EQ(composeReply("otrGetTemplateCount ", "3", false),
              R"({"FuncName":"otrGetTemplateCount ","result":"3"})");
}

TEST(ReplyComposition, MarkerNamesIgnoreRawFlag) {
    for (bool raw : {false, true}) {
        EXPECT_EQ(composeReply("camStartPreview", "R", raw), "$*$R");
        EXPECT_EQ(composeReply("FileEncodeBase64", "R", raw), "$*$R");
        EXPECT_EQ(composeReply("idcardrfidGetOneFingerprintMsg", "R", raw), "$*$R");
        EXPECT_EQ(composeReply("GetFingerprint", "R", raw), "$*$R");
        EXPECT_EQ(composeReply("getFolderDayFileA", "R", raw), "$$$R");
        EXPECT_EQ(composeReply("ocrCombineToString", "R", raw), "$-$R");
        EXPECT_EQ(composeReply("ocrCombineSingleToString", "", raw), "$-$");
    }
    // Names are compared exactly.
    EXPECT_EQ(composeReply("filEEncodeBase64", "R", false), R"({"FuncName":"filEEncodeBase64","result":"R"})");
    EXPECT_EQ(composeReply("getFolderDayFileA ", "R", true), R"({"FuncName":"getFolderDayFileA ","result":R})");
}

TEST(IntegerRendering, SignedAndSignExtendedUnsigned) {
    EXPECT_EQ(intToText(-1), "-1");
    EXPECT_EQ(intToText(0), "0");
    EXPECT_EQ(intToText(INT32_MIN), "-2147483648");
    EXPECT_EQ(uintToText(5), "5");
    EXPECT_EQ(uintToText(-1), "18446744073709551615");
    EXPECT_EQ(uintToText(-2), "18446744073709551614");
    EXPECT_EQ(uintToText(INT32_MIN), "18446744071562067968");
    EXPECT_EQ(uintToText(INT32_MAX), "2147483647");
}

TEST(RawList, JoinsItemsUnescapedAndNeverEmpty) {
    EXPECT_EQ(rawList({}), R"([""])");
    EXPECT_EQ(rawList({"A"}), R"(["A"])");
    EXPECT_EQ(rawList({"A", "B", ""}), R"(["A","B",""])");
    EXPECT_EQ(rawList({"say \"hi\""}), R"(["say "hi""])");
}

}  // namespace
}  // namespace lenvaro
