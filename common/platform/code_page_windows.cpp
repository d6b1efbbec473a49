// Internal code page selection and conversion with the system's own code-page services
// (MultiByteToWideChar and WideCharToMultiByte): what cannot be represented becomes the target
// code page's default character, as everywhere else on the system.
#include <windows.h>

#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>
#include <vector>

#include "common/code_page.h"
#include "common/windows_text.h"

namespace lenvaro {
namespace {

struct CodePageSetting {
    std::string name;
    UINT number;
};

std::string upperWithoutDashes(const std::string& name) {
    std::string upper;
    for (char c : name) {
        if (c != '-' && c != '_') upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

// Settings are never freed: a converting thread may still hold the previous one.
std::mutex settingsMutex;
std::vector<std::unique_ptr<const CodePageSetting>>* allSettings =
    new std::vector<std::unique_ptr<const CodePageSetting>>();
const CodePageSetting kUtf8Setting{"UTF-8", CP_UTF8};
std::atomic<const CodePageSetting*> currentSetting{&kUtf8Setting};

std::string fromWide(const wchar_t* units, int count, UINT codePage) {
    if (count <= 0) return "";
    const int bytes = WideCharToMultiByte(codePage, 0, units, count, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return "";
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, units, count, &out[0], bytes, nullptr, nullptr);
    return out;
}

std::wstring toWide(const std::string& text, UINT codePage) {
    if (text.empty()) return L"";
    const int count = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(codePage, 0, text.data(), count, nullptr, 0);
    if (units <= 0) return L"";
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), count, &out[0], units);
    return out;
}

}  // namespace

UINT codePageNumber(const std::string& name) {
    const std::string upper = upperWithoutDashes(name);
    if (upper == "UTF8") return CP_UTF8;
    if (upper == "GBK" || upper == "GB2312" || upper == "EUCCN") return 936;
    if (upper == "WINDOWS1252") return 1252;
    if (upper == "ISO88591" || upper == "LATIN1") return 28591;
    size_t digits = upper.rfind("CP", 0) == 0 ? 2 : upper.rfind("WINDOWS", 0) == 0 ? 7 : 0;
    if (digits == 0 || digits == upper.size()) return 0;
    UINT number = 0;
    for (size_t i = digits; i < upper.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(upper[i])) || number > 100000) return 0;
        number = number * 10 + static_cast<UINT>(upper[i] - '0');
    }
    return IsValidCodePage(number) ? number : 0;
}

std::string codePageName(UINT number) {
    if (number == CP_UTF8) return "UTF-8";
    return "CP" + std::to_string(number);
}

std::string localeCodePage() { return codePageName(GetACP()); }

const std::string& internalCodePage() { return currentSetting.load(std::memory_order_acquire)->name; }

bool internalCodePageIsUtf8() { return currentSetting.load(std::memory_order_acquire)->number == CP_UTF8; }

UINT internalCodePageNumber() { return currentSetting.load(std::memory_order_acquire)->number; }

void setInternalCodePage(const std::string& name) {
    const UINT number = codePageNumber(name);
    std::lock_guard<std::mutex> lock(settingsMutex);
    allSettings->push_back(std::make_unique<const CodePageSetting>(
        CodePageSetting{number == 0 ? name : codePageName(number), number == 0 ? CP_UTF8 : number}));
    currentSetting.store(allSettings->back().get(), std::memory_order_release);
}

std::string utf8ToCodePage(const std::string& utf8, const std::string& codePage) {
    const UINT number = codePageNumber(codePage);
    if (number == 0 || number == CP_UTF8) return utf8;
    const std::wstring wide = toWide(utf8, CP_UTF8);
    return fromWide(wide.data(), static_cast<int>(wide.size()), number);
}

std::string codePageToUtf8(const std::string& text, const std::string& codePage) {
    const UINT number = codePageNumber(codePage);
    if (number == 0 || number == CP_UTF8) return text;
    const std::wstring wide = toWide(text, number);
    return fromWide(wide.data(), static_cast<int>(wide.size()), CP_UTF8);
}

std::wstring internalToWide(const std::string& text) { return toWide(text, internalCodePageNumber()); }

std::string wideToInternal(const std::wstring& text) {
    return fromWide(text.data(), static_cast<int>(text.size()), internalCodePageNumber());
}

bool representableInInternal(const std::wstring& text) {
    if (text.empty() || internalCodePageIsUtf8()) return true;
    BOOL usedDefault = FALSE;
    const UINT number = internalCodePageNumber();
    const int count = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(number, WC_NO_BEST_FIT_CHARS, text.data(), count, nullptr,
                                          0, nullptr, &usedDefault);
    if (bytes <= 0 || usedDefault) return false;
    // Best-fit mappings aside, the text must come back as it was.
    return toWide(fromWide(text.data(), count, number), number) == text;
}

std::string pathToInternal(const std::wstring& path) {
    if (representableInInternal(path)) return wideToInternal(path);
    // A name the code page cannot spell (Chinese letters under code page 1252): the file
    // system's short name for it is plain ASCII and names the same file.
    const DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size > 0) {
        std::wstring shortPath(size, L'\0');
        const DWORD got = GetShortPathNameW(path.c_str(), &shortPath[0], size);
        if (got > 0 && got < size) {
            shortPath.resize(got);
            if (representableInInternal(shortPath)) return wideToInternal(shortPath);
        }
    }
    return wideToInternal(path);
}

std::string systemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", length);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.')) {
        message.pop_back();
    }
    return wideToInternal(message) + " (system error " + std::to_string(code) + ")";
}

}  // namespace lenvaro
