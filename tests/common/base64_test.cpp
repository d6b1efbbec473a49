#include "common/base64.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "common/paths.h"

namespace lenvaro {
namespace {

std::string bytesOfLength(size_t n) {
    std::string bytes;
    for (size_t i = 0; i < n; ++i) bytes += static_cast<char>(i * 7 + 3);
    return bytes;
}

std::string decodeAll(const std::string& text, size_t* counter = nullptr) {
    size_t count = 0;
    std::string out = base64Decode(text, text.size(), count);
    if (counter != nullptr) *counter = count;
    return out;
}

TEST(Base64Encode, ShortInputsArePadded) {
    EXPECT_EQ(base64Encode("abc"), "YWJj");
    EXPECT_EQ(base64Encode("ab"), "YWI=");
    EXPECT_EQ(base64Encode("a"), "YQ==");
    EXPECT_EQ(base64Encode(""), "");
}

TEST(Base64Encode, LineBreakFollowsEveryNineteenthWholeGroup) {
    const std::string t56 = base64Encode(bytesOfLength(56));
    EXPECT_EQ(t56.size(), 76u);
    EXPECT_EQ(t56.find('\r'), std::string::npos);

    const std::string t57 = base64Encode(bytesOfLength(57));
    ASSERT_EQ(t57.size(), 78u);
    EXPECT_EQ(t57.substr(76), "\r\n");

    const std::string t58 = base64Encode(bytesOfLength(58));
    ASSERT_EQ(t58.size(), 82u);
    EXPECT_EQ(t58.substr(76, 2), "\r\n");
    EXPECT_EQ(t58.substr(80), "==");

    const std::string t114 = base64Encode(bytesOfLength(114));
    ASSERT_EQ(t114.size(), 156u);
    EXPECT_EQ(t114.substr(76, 2), "\r\n");
    EXPECT_EQ(t114.substr(154), "\r\n");
}

// Character by character, the way the alphabet defines it: what the fast encoder must match.
std::string referenceEncode(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    size_t groups = 0;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        uint32_t bits = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
        if (left > 1) bits |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
        if (left > 2) bits |= static_cast<uint8_t>(bytes[i + 2]);
        text += alphabet[(bits >> 18) & 63];
        text += alphabet[(bits >> 12) & 63];
        text += left > 1 ? alphabet[(bits >> 6) & 63] : '=';
        text += left > 2 ? alphabet[bits & 63] : '=';
        if (left >= 3 && ++groups % 19 == 0) text += "\r\n";
    }
    return text;
}

TEST(Base64Encode, MatchesTheAlphabetForEveryByteValueAndLength) {
    // Every byte value in every position of a group, and lengths around line ends.
    std::string all;
    for (int round = 0; round < 3; ++round) {
        for (int value = 0; value < 256; ++value) all += static_cast<char>(value * (round + 1) + round);
    }
    for (size_t length = 0; length <= all.size(); length += (length < 200 ? 1 : 37)) {
        const std::string bytes = all.substr(0, length);
        ASSERT_EQ(base64Encode(bytes), referenceEncode(bytes)) << "length " << length;
    }
}

TEST(Base64Decode, DecodesGroupsAndCountsBytes) {
    size_t counter = 0;
    EXPECT_EQ(base64Decode("YWJj", 4, counter), "abc");
    EXPECT_EQ(counter, 3u);
    EXPECT_EQ(base64Decode("YWI=", 4, counter), "ab");
    EXPECT_EQ(counter, 5u);  // the counter only grows
    EXPECT_EQ(base64Decode("YQ==", 4, counter), "a");
    EXPECT_EQ(counter, 6u);

    counter = 0;
    EXPECT_EQ(base64Decode("YWJj\r\nYWJj", 10, counter), "abcabc");
    EXPECT_EQ(counter, 6u);
}

TEST(Base64Decode, RoundTripsEncoderOutputOfEveryTailLength) {
    for (size_t n : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 59u, 114u, 1000u, 4096u}) {
        const std::string bytes = bytesOfLength(n);
        size_t counter = 0;
        EXPECT_EQ(decodeAll(base64Encode(bytes), &counter), bytes) << n;
        EXPECT_EQ(counter, n);
    }
}

TEST(Base64Decode, NeverReadsPastItsText) {
    // A length beyond the text, and groups cut short by the end of the text.
    size_t counter = 0;
    EXPECT_EQ(base64Decode("YWJj", 100, counter), "abc");
    counter = 0;
    EXPECT_EQ(base64Decode("YWJjYWI", 7, counter), "abcab");
    EXPECT_EQ(counter, 5u);
    counter = 0;
    EXPECT_EQ(base64Decode("YWJjY", 5, counter), "abc");
    counter = 0;
    EXPECT_EQ(base64Decode("YWJjYWJj", 4, counter), "abc");  // length stops early
    EXPECT_EQ(base64Decode("", 10, counter), "");
}

TEST(Base64Decode, ForeignCharactersDecodeAsZero) {
    size_t counter = 0;
    // '*', '\xff' and '{' have no value; they count as 'A'.
    EXPECT_EQ(base64Decode("**==", 4, counter), std::string(1, '\0'));
    EXPECT_EQ(base64Decode("YW\xff\x7b", 4, counter), base64Decode("YWAA", 4, counter));
}

TEST(ReadFileAsBase64, ReadsWholeFilesAndGivesEmptyOnFailure) {
    ScratchDirectory dir;
    const std::string path = dir.file("data.bin");
    const std::string bytes = bytesOfLength(1000) + std::string("\0\0tail", 6);
    std::ofstream(path, std::ios::binary) << bytes;
    EXPECT_EQ(readFileAsBase64(path), base64Encode(bytes));

    std::ofstream(dir.file("empty.bin"), std::ios::binary).flush();
    EXPECT_EQ(readFileAsBase64(dir.file("empty.bin")), "");
    EXPECT_EQ(readFileAsBase64(dir.file("missing.bin")), "");
    EXPECT_EQ(readFileAsBase64(dir.path()), "");  // a directory
    // Only regular files: a device never ends, a named pipe without a writer never starts.
    EXPECT_EQ(readFileAsBase64("/dev/zero"), "");
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(readFileAsBase64(pipe), "");
}

TEST(ReplaceAll, ResumesAfterEachReplacement) {
    std::string lines = "abcd\r\nefgh\r\n";
    EXPECT_EQ(replaceAll(lines, "\r\n", ""), "abcdefgh");
    EXPECT_EQ(lines, "abcdefgh");  // in place

    std::string doubling = "aa";
    EXPECT_EQ(replaceAll(doubling, "a", "aa"), "aaaa");

    std::string unchanged = "xyz";
    EXPECT_EQ(replaceAll(unchanged, "", "q"), "xyz");
}

}  // namespace
}  // namespace lenvaro
