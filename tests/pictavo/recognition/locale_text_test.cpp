// Texts into the interface's character set: converted, and cut only between characters.
#include "pictavo/recognition/locale_text.h"

#include <gtest/gtest.h>

namespace pictavo {
namespace {

TEST(LocaleText, Utf8IsCutAfterAWholeCharacter) {
    EXPECT_EQ(toCodePage("中文", "UTF-8", 6), "中文");
    EXPECT_EQ(toCodePage("中文", "UTF-8", 5), "中");
    EXPECT_EQ(toCodePage("中文", "UTF-8", 2), "");
    EXPECT_EQ(toCodePage("ab中", "UTF-8", 4), "ab");
}

TEST(LocaleText, ConvertsToGbkAndCutsOnItsCharacters) {
    EXPECT_EQ(toCodePage("中文", "GBK", 100), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(toCodePage("中文", "GBK", 3), "\xD6\xD0");
    EXPECT_EQ(toCodePage("a中", "GBK", 2), "a");
}

TEST(LocaleText, WhatTheTargetCannotHoldBecomesAQuestionMark) {
    EXPECT_EQ(toCodePage("x\xF0\x9F\x98\x80y", "GBK", 100), "x?y");  // an emoji
    EXPECT_EQ(toCodePage("a\xFF"
                         "b",
                         "UTF-8", 100),
              "a?b");                                         // not UTF-8
    EXPECT_EQ(toCodePage("a\xE4\xB8", "UTF-8", 100), "a??");  // cut-off sequence
    EXPECT_EQ(toCodePage("\xC0\xAF", "UTF-8", 100), "??");    // overlong "/"
}

TEST(LocaleText, AnUnknownCodePageLeavesUtf8) {
    EXPECT_EQ(toCodePage("中", "NO-SUCH-CHARSET", 100), "中");
}

}  // namespace
}  // namespace pictavo
