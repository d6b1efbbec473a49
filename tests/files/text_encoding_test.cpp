#include "files/text_encoding.h"

#include <gtest/gtest.h>

#include "common/code_page.h"
#include "files/documents_path.h"

namespace lenvaro {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";
const std::string kZhong = "\xE4\xB8\xAD";   // U+4E2D in UTF-8
const std::string kZhongGbk = "\xD6\xD0";    // the same character in GBK
const std::string kSnowman = "\xE2\x98\x83"; // U+2603, which GBK lacks

// Switches the internal code page for one test and back.
class CodePageScope {
public:
    explicit CodePageScope(const std::string& name) : previous_(internalCodePage()) {
        setInternalCodePage(name);
    }
    ~CodePageScope() { setInternalCodePage(previous_); }

private:
    std::string previous_;
};

TEST(SanitizeUtf8, KeepsValidTextAndCutsAtZero) {
    const std::string valid = "plain ASCII long enough for the word path, " + kZhong + " \xF0\x9F\x98\x80";
    EXPECT_EQ(sanitizeUtf8(valid), valid);
    EXPECT_EQ(sanitizeUtf8(std::string("abc\0def", 7)), "abc");
    EXPECT_EQ(sanitizeUtf8(std::string("0123456789\0abcdef", 17)), "0123456789");
    EXPECT_EQ(sanitizeUtf8(""), "");
}

TEST(SanitizeUtf8, ReplacesEachMaximalIllFormedPart) {
    EXPECT_EQ(sanitizeUtf8("a\xFF" "b"), "a" + kFffd + "b");
    EXPECT_EQ(sanitizeUtf8("\xC0\xAF"), kFffd + kFffd);              // overlong lead, lone continuation
    EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), kFffd + kFffd + kFffd);  // encoded surrogate
    EXPECT_EQ(sanitizeUtf8("\xE4\xB8"), kFffd);                       // cut-off sequence at the end
    EXPECT_EQ(sanitizeUtf8("\xE4\xB8x"), kFffd + "x");
    EXPECT_EQ(sanitizeUtf8("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);  // above U+10FFFF
    EXPECT_EQ(sanitizeUtf8("ok\xFF\0tail"), "ok" + kFffd);
}

TEST(Utf16ToUtf8, DecodesPairsAndReplacesLoneSurrogates) {
    const char16_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(utf16ToUtf8(pair, 2), "\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', 0xDC00, u'b', 0xD800};
    EXPECT_EQ(utf16ToUtf8(lone, 4), "a" + kFffd + "b" + kFffd);
}

TEST(InternalUtf8, ConversionsOnlyValidate) {
    CodePageScope scope("UTF-8");
    EXPECT_EQ(utf8ToAnsi("camGetDevCount " + kZhong), "camGetDevCount " + kZhong);
    EXPECT_EQ(ansiToUtf8("x\xFFy"), "x" + kFffd + "y");
    EXPECT_EQ(wideToAnsi(u"\u4E2D\u6587"), kZhong + "\xE6\x96\x87");
    EXPECT_EQ(wideToAnsi(nullptr), "");
    EXPECT_EQ(wstringToAnsi(u""), "");
    std::string oem = "old";
    wideToOem(u"Zhang San", oem);
    EXPECT_EQ(oem, "Zhang San");
}

TEST(InternalGbk, RequestTextsArriveInGbk) {
    CodePageScope scope("GBK");
    EXPECT_EQ(utf8ToAnsi("path/" + kZhong + ".jpg"), "path/" + kZhongGbk + ".jpg");
    // A character GBK lacks becomes "?", and so does an invalid sequence (U+FFFD first).
    EXPECT_EQ(utf8ToAnsi("a" + kSnowman + "b"), "a?b");
    EXPECT_EQ(utf8ToAnsi("a\xFF" "b"), "a?b");
    EXPECT_EQ(utf8ToAnsi(std::string("a\0b", 3)), "a");
}

TEST(InternalGbk, RepliesLeaveAsUtf8) {
    CodePageScope scope("GBK");
    EXPECT_EQ(ansiToUtf8("{\"result\":\"" + kZhongGbk + "\"}"), "{\"result\":\"" + kZhong + "\"}");
#ifdef _WIN32
    // What a byte that starts no GBK character becomes is the system's conversion's choice;
    // the output is valid UTF-8 all the same, and the characters around it stay.
    for (const std::string& invalid : {std::string("a\xFFz"), std::string("a\xD6")}) {
        const std::string utf8 = ansiToUtf8(invalid);
        EXPECT_EQ(sanitizeUtf8(utf8), utf8);
        EXPECT_EQ(utf8.front(), 'a');
    }
#else
    // A byte that starts no GBK character becomes U+FFFD; the output is always valid UTF-8.
    EXPECT_EQ(ansiToUtf8("a\xFFz"), "a" + kFffd + "z");
    EXPECT_EQ(ansiToUtf8("a\xD6"), "a" + kFffd);  // cut-off double byte at the end
#endif
    EXPECT_EQ(wideToAnsi(u"\u4E2D\u2603"), kZhongGbk + "?");
}

TEST(TickFilePath, FormatsTheTickAsSignedDecimalAndKeepsTheSuffix) {
    EXPECT_EQ(tickFilePath("/home/u/Documents", 700, ".bmp"), "/home/u/Documents/700..bmp");
    EXPECT_EQ(tickFilePath("/d", 0x80000000u, ".bmp"), "/d/-2147483648..bmp");
    EXPECT_EQ(tickFilePath("/d", 0xFFFFFFFFu, "x"), "/d/-1.x");
}

}  // namespace
}  // namespace lenvaro
