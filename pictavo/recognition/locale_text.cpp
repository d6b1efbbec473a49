// UTF-8 to the interface's character set, cut on character boundaries.
#include "pictavo/recognition/locale_text.h"

#include <iconv.h>
#include <langinfo.h>

#include <cctype>
#include <memory>

namespace pictavo {
namespace {

bool namesUtf8(const std::string& name) {
    std::string upper;
    for (char c : name) {
        if (c != '-' && c != '_')
            upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper == "UTF8";
}

// Length of the UTF-8 sequence starting at `at`; 0 when the bytes there are not a well-formed
// sequence (then one byte is replaced).
size_t sequenceLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    else
        return 0;
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and values above U+10FFFF.
    const unsigned char second = byte(at + 1);
    if (lead == 0xE0 && second < 0xA0) return 0;
    if (lead == 0xED && second > 0x9F) return 0;
    if (lead == 0xF0 && second < 0x90) return 0;
    if (lead == 0xF4 && second > 0x8F) return 0;
    return length;
}

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// Converts one character; false when the target cannot hold it.
bool convertOne(iconv_t cd, const char* in, size_t length, std::string& out) {
    char buffer[16];
    char* source = const_cast<char*>(in);
    size_t inLeft = length;
    char* target = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &source, &inLeft, &target, &outLeft) == static_cast<size_t>(-1)) return false;
    // Stateful encodings end with a shift back to the initial state.
    if (iconv(cd, nullptr, nullptr, &target, &outLeft) == static_cast<size_t>(-1)) return false;
    out.assign(buffer, sizeof buffer - outLeft);
    return true;
}

}  // namespace

std::string interfaceCodePage() {
    const char* codeset = nl_langinfo(CODESET);
    const std::string name = codeset != nullptr ? codeset : "";
    if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII" || name == "US-ASCII")
        return "UTF-8";
    return name;
}

std::string toCodePage(const std::string& utf8, const std::string& codePage, size_t maxBytes) {
    std::unique_ptr<void, IconvCloser> cd;
    if (!namesUtf8(codePage)) {
        iconv_t opened = iconv_open(codePage.c_str(), "UTF-8");
        if (opened != reinterpret_cast<iconv_t>(-1)) cd.reset(opened);
    }
    std::string out;
    std::string piece;
    for (size_t at = 0; at < utf8.size();) {
        const size_t length = sequenceLength(utf8, at);
        if (length == 0) {
            piece = "?";
            at += 1;
        } else {
            if (!cd) {
                piece.assign(utf8, at, length);
            } else if (!convertOne(static_cast<iconv_t>(cd.get()), utf8.data() + at, length,
                                   piece)) {
                piece = "?";
            }
            at += length;
        }
        if (out.size() + piece.size() > maxBytes) break;
        out += piece;
    }
    return out;
}

std::string toInterfaceText(const std::string& utf8, size_t maxBytes) {
    return toCodePage(utf8, interfaceCodePage(), maxBytes);
}

}  // namespace pictavo
