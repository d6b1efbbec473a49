// The internal code page (the character set handlers and the capture library work in) and
// conversions between code pages: through iconv on Linux, the system's services on Windows,
// where the internal code page is the system's ANSI code page ("CP936", "CP1252").
#pragma once

#include <string>

namespace lenvaro {

// The character set of the user's locale (LC_CTYPE), as iconv names it; "UTF-8" when the locale
// is plain ASCII (the C locale). Calls setlocale(LC_CTYPE, ""), so run it before other threads.
// On Windows: the system's ANSI code page.
std::string localeCodePage();

// The process-wide internal code page. "UTF-8" until set; set once at start (tests may switch it
// while no other thread converts).
const std::string& internalCodePage();
bool internalCodePageIsUtf8();
void setInternalCodePage(const std::string& iconvName);

// Converts UTF-8 text (already valid) to `codePage`; a character the target cannot hold becomes
// "?". Unknown code page names give the input unchanged.
std::string utf8ToCodePage(const std::string& utf8, const std::string& codePage);

// Converts `codePage` text to UTF-8; a byte sequence that is not valid in the source becomes
// U+FFFD (on Windows, what the system's own conversion makes of it). The result is always valid
// UTF-8.
std::string codePageToUtf8(const std::string& text, const std::string& codePage);

}  // namespace lenvaro
