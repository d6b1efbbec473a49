// Base64 coding, whole-file encoding and replace-all.
#include "common/base64.h"

#include <cstring>

#include "common/file_io.h"

namespace lenvaro {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kGroupsPerLine = 19;  // 76 characters

// Value of one character; everything outside the alphabet counts as 0.
constexpr uint8_t decodeValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;
}

// The two characters of every 12-bit value: half a group per look-up.
struct CharacterPairs {
    char text[4096][2];
    CharacterPairs() {
        for (int value = 0; value < 4096; ++value) {
            text[value][0] = kAlphabet[value >> 6];
            text[value][1] = kAlphabet[value & 63];
        }
    }
};

const CharacterPairs& characterPairs() {
    static const CharacterPairs pairs;
    return pairs;
}

}  // namespace

std::string base64Encode(const uint8_t* bytes, size_t count) {
    const size_t groups = count / 3;
    const size_t lineBreaks = groups / kGroupsPerLine;
    // Written into a buffer of the exact final size, two characters per table look-up:
    // preview frames pass through here at camera rate.
    std::string text((count + 2) / 3 * 4 + lineBreaks * 2, '\0');
    char* out = &text[0];
    const uint8_t* in = bytes;
    const CharacterPairs& pairs = characterPairs();
    const auto putGroup = [&pairs](const uint8_t* group, char* target) {
        const uint32_t bits = (uint32_t{group[0]} << 16) | (uint32_t{group[1]} << 8) | group[2];
        std::memcpy(target, pairs.text[bits >> 12], 2);
        std::memcpy(target + 2, pairs.text[bits & 0xFFF], 2);
    };
    for (size_t line = 0; line < lineBreaks; ++line) {
        for (size_t g = 0; g < kGroupsPerLine; ++g, in += 3, out += 4) putGroup(in, out);
        out[0] = '\r';
        out[1] = '\n';
        out += 2;
    }
    for (size_t g = lineBreaks * kGroupsPerLine; g < groups; ++g, in += 3, out += 4) {
        putGroup(in, out);
    }
    switch (count % 3) {
        case 1:
            out[0] = kAlphabet[in[0] >> 2];
            out[1] = kAlphabet[(in[0] & 3) << 4];
            out[2] = '=';
            out[3] = '=';
            break;
        case 2:
            out[0] = kAlphabet[in[0] >> 2];
            out[1] = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
            out[2] = kAlphabet[(in[1] & 15) << 2];
            out[3] = '=';
            break;
        default:
            break;
    }
    return text;
}

std::string base64Decode(const std::string& text, size_t length, size_t& byteCounter) {
    const size_t end = length < text.size() ? length : text.size();
    std::string out;
    out.reserve(end / 4 * 3 + 3);
    size_t pos = 0;
    while (pos < end) {
        const char c = text[pos];
        if (c == '\r' || c == '\n') {
            ++pos;
            continue;
        }
        // A group is four characters; one cut short by the end of the text decodes as if it
        // were padded, and a lone last character carries too few bits for a byte.
        const size_t available = end - pos < 4 ? end - pos : 4;
        if (available < 2) break;
        const auto at = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
        uint32_t v = (uint32_t{decodeValue(at(0))} << 18) | (uint32_t{decodeValue(at(1))} << 12);
        out += static_cast<char>((v >> 16) & 0xFF);
        ++byteCounter;
        if (available > 2 && at(2) != '=') {
            v |= uint32_t{decodeValue(at(2))} << 6;
            out += static_cast<char>((v >> 8) & 0xFF);
            ++byteCounter;
            if (available > 3 && at(3) != '=') {
                v |= decodeValue(at(3));
                out += static_cast<char>(v & 0xFF);
                ++byteCounter;
            }
        }
        pos += available;
    }
    return out;
}

std::string readFileAsBase64(const std::string& path) {
    // Only regular files are read: a named pipe would hold the caller and a device such as
    // /dev/zero would never end.
    std::string bytes;
    if (!readRegularFile(path, bytes)) return "";
    return base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string& replaceAll(std::string& text, const std::string& find, const std::string& replacement) {
    if (find.empty()) return text;
    size_t pos = 0;
    while ((pos = text.find(find, pos)) != std::string::npos) {
        text.replace(pos, find.size(), replacement);
        pos += replacement.size();
    }
    return text;
}

}  // namespace lenvaro
