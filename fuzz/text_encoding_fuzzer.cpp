// The text conversions between the wire's UTF-8, the internal code page and the UTF-16 of card
// records, on any bytes. Beyond the sanitizers it checks what the conversions promise: their
// UTF-8 is always valid and ends at the first zero character, and valid text passes unchanged.
//
// The internal code page stays UTF-8 here (switching it is meant for start-up); the GBK side is
// fuzzed through the code-page converters the internal conversions use.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/code_page.h"
#include "files/text_encoding.h"
#include "fuzz_input.h"

namespace {

using lenvaro::fuzzing::FuzzInput;

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "text encoding fuzzer: %s (%zu bytes)\n", what, text.size());
    std::abort();
}

std::string upToZero(const std::string& text) { return text.substr(0, text.find('\0')); }

// Valid UTF-8 without a zero byte: what every conversion towards the wire gives.
void checkCleanUtf8(const char* what, const std::string& text) {
    if (text.find('\0') != std::string::npos) fail(what, text);
    if (lenvaro::sanitizeUtf8(text) != text) fail(what, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t mode = input.byte();
    const std::string bytes = input.rest();

    switch (mode % 4) {
        case 0: {  // UTF-8 from the wire
            const std::string clean = lenvaro::sanitizeUtf8(bytes);
            checkCleanUtf8("sanitizeUtf8 gave invalid UTF-8", clean);
            if (lenvaro::sanitizeUtf8(upToZero(bytes)) != clean) fail("not cut at the zero", bytes);
            if (lenvaro::utf8ToAnsi(bytes) != clean) fail("utf8ToAnsi differs from repair", bytes);
            const std::string gbk = lenvaro::utf8ToCodePage(clean, "GBK");
            checkCleanUtf8("GBK round trip", upToZero(lenvaro::codePageToUtf8(gbk, "GBK")));
            break;
        }
        case 1: {  // internal code page to the wire
            checkCleanUtf8("ansiToUtf8 gave invalid UTF-8", lenvaro::ansiToUtf8(bytes));
            const std::string fromGbk = lenvaro::codePageToUtf8(bytes, "GBK");
            if (lenvaro::sanitizeUtf8(fromGbk) != upToZero(fromGbk)) {
                fail("codePageToUtf8 gave invalid UTF-8", bytes);
            }
            break;
        }
        case 2: {  // UTF-16 units, as a card record holds them
            std::u16string units(bytes.size() / 2, u'\0');
            for (size_t i = 0; i < units.size(); ++i) {
                units[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                                 static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
            }
            const std::string utf8 = lenvaro::utf16ToUtf8(units.data(), units.size());
            if (lenvaro::sanitizeUtf8(utf8) != upToZero(utf8)) fail("utf16ToUtf8 invalid", bytes);
            const std::string ansi = lenvaro::wideToAnsi(units.c_str());
            checkCleanUtf8("wideToAnsi", ansi);
            if (ansi != upToZero(utf8)) fail("wideToAnsi differs from utf16ToUtf8", bytes);
            if (lenvaro::wstringToAnsi(units) != ansi) fail("wstringToAnsi differs", bytes);
            std::string oem = "stale";
            lenvaro::wideToOem(units.c_str(), oem);
            if (oem != ansi) fail("wideToOem differs", bytes);
            break;
        }
        default: {  // valid text passes unchanged
            const std::string clean = lenvaro::sanitizeUtf8(bytes);
            if (lenvaro::sanitizeUtf8(clean) != clean) fail("repair not idempotent", bytes);
            if (lenvaro::ansiToUtf8(clean) != clean) fail("valid text changed", bytes);
            break;
        }
    }
    return 0;
}
