// Windows only: text and paths between the internal code page and the system's UTF-16.
#pragma once

#include <windows.h>

#include <string>

namespace lenvaro {

// The Windows code page a name stands for ("CP936", "GBK", "UTF-8", "windows-1252"), or 0.
UINT codePageNumber(const std::string& name);
// The name the service uses for a code page: "CP936", "UTF-8".
std::string codePageName(UINT number);
UINT internalCodePageNumber();

// Internal code page to UTF-16 and back, with the system's conversions.
std::wstring internalToWide(const std::string& text);
std::string wideToInternal(const std::wstring& text);
// Whether the text survives the round trip through the internal code page.
bool representableInInternal(const std::wstring& text);
// A path the system gave as UTF-16, for use inside the service: converted as it is when the
// internal code page can spell it, else the file system's short (8.3) name for it, which can.
std::string pathToInternal(const std::wstring& path);

// The system's description of an error code, in the internal code page, with the code.
std::string systemErrorText(DWORD code);

}  // namespace lenvaro
