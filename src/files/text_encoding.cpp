// UTF-8 validation and repair, UTF-16 decoding, and the conversions to and from the internal
// code page.
#include "files/text_encoding.h"

#include <cstdint>
#include <cstring>

#include "common/code_page.h"

namespace lenvaro {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

inline bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at `p` (with `left` bytes available), or, negated,
// the length of its maximal ill-formed part (at least 1).
inline long sequenceAt(const unsigned char* p, size_t left) {
    const unsigned char lead = p[0];
    if (lead < 0x80) return 1;
    size_t need;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return -1;
    }
    for (size_t i = 1; i <= need; ++i) {
        if (i >= left) return -static_cast<long>(i);
        const unsigned char c = p[i];
        const bool ok = i == 1 ? (c >= low && c <= high) : isContinuation(c);
        if (!ok) return -static_cast<long>(i);
    }
    return static_cast<long>(need + 1);
}

// Length of the valid prefix; stops at the first zero byte or ill-formed sequence.
size_t validPrefix(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time: no high bit set and no zero byte among them.
        if (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            const bool noHighBit = (word & 0x8080808080808080ULL) == 0;
            const bool noZero = ((word - 0x0101010101010101ULL) & ~word & 0x8080808080808080ULL) == 0;
            if (noHighBit && noZero) {
                i += 8;
                continue;
            }
        }
        if (p[i] == 0) return i;
        const long len = sequenceAt(p + i, n - i);
        if (len < 0) return i;
        i += static_cast<size_t>(len);
    }
    return n;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

size_t zeroTerminatedLength(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

void cutAtZero(std::string& text) {
    const size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
}

}  // namespace

std::string sanitizeUtf8(std::string text) {
    const size_t valid = validPrefix(text);
    if (valid == text.size()) return text;
    std::string out(text, 0, valid);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = valid;
    while (i < n && p[i] != 0) {
        const long len = sequenceAt(p + i, n - i);
        if (len > 0) {
            out.append(text, i, static_cast<size_t>(len));
            i += static_cast<size_t>(len);
        } else {
            out += kReplacement;
            i += static_cast<size_t>(-len);
        }
    }
    return out;
}

std::string utf16ToUtf8(const char16_t* units, size_t count) {
    std::string out;
    out.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out += kReplacement;
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

std::string utf8ToAnsi(std::string utf8) {
    std::string valid = sanitizeUtf8(std::move(utf8));
    if (internalCodePageIsUtf8()) return valid;
    return utf8ToCodePage(valid, internalCodePage());
}

std::string ansiToUtf8(std::string ansi) {
    if (internalCodePageIsUtf8()) return sanitizeUtf8(std::move(ansi));
    cutAtZero(ansi);
    return sanitizeUtf8(codePageToUtf8(ansi, internalCodePage()));
}

std::string wideToAnsi(const char16_t* text) {
    if (text == nullptr) return "";
    return utf8ToAnsi(utf16ToUtf8(text, zeroTerminatedLength(text)));
}

std::string wstringToAnsi(const std::u16string& text) {
    if (text.empty()) return "";
    return wideToAnsi(text.c_str());
}

// Into the internal code page, not the system's OEM one: the reply that carries these texts is
// read as internal (ANSI) text on its way to UTF-8, so an OEM text would reach the page garbled
// wherever the two code pages differ (437 and 1252 on a Western system). Where they agree, as
// 936 on a Chinese one, this is the same.
void wideToOem(const char16_t* text, std::string& target) { target = wideToAnsi(text); }

}  // namespace lenvaro
