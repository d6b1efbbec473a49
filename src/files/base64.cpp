// Base64 coding, whole-file encoding and replace-all.
#include "files/base64.h"

#include <cstdio>
#include <memory>

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

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string base64Encode(const uint8_t* bytes, size_t count) {
    const size_t groups = count / 3;
    const size_t lineBreaks = groups / kGroupsPerLine;
    // Written into a buffer of the exact final size: preview frames pass through here at
    // camera rate, and appending character by character costs several times more.
    std::string text((count + 2) / 3 * 4 + lineBreaks * 2, '\0');
    char* out = &text[0];
    size_t groupsOnLine = 0;
    const uint8_t* in = bytes;
    for (size_t g = 0; g < groups; ++g, in += 3) {
        out[0] = kAlphabet[in[0] >> 2];
        out[1] = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
        out[2] = kAlphabet[((in[1] & 15) << 2) | (in[2] >> 6)];
        out[3] = kAlphabet[in[2] & 63];
        out += 4;
        if (++groupsOnLine == kGroupsPerLine) {
            out[0] = '\r';
            out[1] = '\n';
            out += 2;
            groupsOnLine = 0;
        }
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
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return "";
    std::string bytes;
    char chunk[64 * 1024];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, got);
    if (std::ferror(file.get())) return "";
    return base64Encode(bytes);
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
