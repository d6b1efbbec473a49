// Conversions between the wire's UTF-8, the internal code page and the UTF-16 of card records.
#pragma once

#include <string>

#include "common/code_page.h"

namespace lenvaro {

// Received UTF-8 to the internal code page. The text ends at its first zero character; an
// invalid UTF-8 sequence becomes U+FFFD, a character the code page cannot hold becomes "?".
// When the internal code page is UTF-8 this is one validation pass and no copy.
std::string utf8ToAnsi(std::string utf8);

// Internal code page to UTF-8 for the wire; always valid UTF-8, cut at the first zero character.
std::string ansiToUtf8(std::string ansi);

// Applies `edit`, which works on UTF-8, to a text of the internal code page. In UTF-8 every byte
// of a character beyond ASCII is above 0x7F, so an edit of ASCII characters may go byte by byte;
// in a double-byte code page such as GBK a character's second byte may be that of "\" or "|".
template <typename Edit>
std::string editAsUtf8(const std::string& text, Edit edit) {
    if (internalCodePageIsUtf8()) return edit(text);
    return utf8ToAnsi(edit(ansiToUtf8(text)));
}

// Zero-terminated UTF-16 (as card records carry it) to the internal code page; unpaired
// surrogates become U+FFFD first. A null pointer gives "".
std::string wideToAnsi(const char16_t* text);
std::string wstringToAnsi(const std::u16string& text);
// The same for the texts of card records, which the reply reads as internal text: so into the
// internal code page too, not the system's "OEM" one.
void wideToOem(const char16_t* text, std::string& target);

// UTF-8 with every invalid sequence (each maximal ill-formed part) replaced by U+FFFD, cut at
// the first zero character. Valid text comes back as it was.
std::string sanitizeUtf8(std::string text);

// UTF-16 code units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(const char16_t* units, size_t count);

}  // namespace lenvaro
