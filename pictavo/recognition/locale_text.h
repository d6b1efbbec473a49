// Texts leaving the recognition engines: the engines work in UTF-8, the C interface carries the
// character set of the process locale (which the service sets up before it calls us).
#pragma once

#include <cstddef>
#include <string>

namespace pictavo {

// The iconv name of the locale's character set; "UTF-8" for a plain ASCII (C) locale, as the
// service treats it.
std::string interfaceCodePage();

// `utf8` converted to `codePage` and cut to at most `maxBytes` bytes after a whole character, so
// a cut never leaves half a character behind. A character the code page cannot hold and bytes
// that are not UTF-8 become "?". An unknown code page name leaves the text in UTF-8.
std::string toCodePage(const std::string& utf8, const std::string& codePage, size_t maxBytes);

// toCodePage() into interfaceCodePage().
std::string toInterfaceText(const std::string& utf8, size_t maxBytes);

}  // namespace pictavo
