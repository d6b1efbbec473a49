// Internal code page selection and iconv-based conversion.
#include "common/code_page.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>
#include <utility>

namespace lenvaro {
namespace {

struct CodePageSetting {
    std::string name;
    bool isUtf8;
};

bool namesUtf8(const std::string& name) {
    std::string upper;
    for (char c : name) {
        if (c != '-' && c != '_') upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper == "UTF8";
}

// Settings are never freed: a converting thread may still hold the previous one. They stay
// reachable through this list (a process sets one or two).
std::mutex settingsMutex;
std::vector<std::unique_ptr<const CodePageSetting>>* allSettings =
    new std::vector<std::unique_ptr<const CodePageSetting>>();
const CodePageSetting kUtf8Setting{"UTF-8", true};
std::atomic<const CodePageSetting*> currentSetting{&kUtf8Setting};

// One iconv descriptor per (from, to) pair and thread: descriptors keep shift state and are not
// safe to share between threads, and opening one costs far more than a short conversion.
class IconvCache {
public:
    ~IconvCache() {
        for (auto& entry : descriptors_) {
            if (entry.second != invalid()) iconv_close(entry.second);
        }
    }
    iconv_t get(const std::string& from, const std::string& to) {
        auto key = std::make_pair(from, to);
        auto it = descriptors_.find(key);
        if (it == descriptors_.end()) {
            it = descriptors_.emplace(key, iconv_open(to.c_str(), from.c_str())).first;
        } else if (it->second != invalid()) {
            iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        }
        return it->second;
    }
    static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }

private:
    std::map<std::pair<std::string, std::string>, iconv_t> descriptors_;
};

thread_local IconvCache iconvCache;

size_t utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

// Runs iconv over the whole input. On a unit it cannot take, appends `replacement` and skips the
// unit (`skipLength` tells how long the unit at a position is).
template <typename SkipLength>
std::string convertWithReplacement(iconv_t cd, const std::string& input,
                                   const char* replacement, SkipLength skipLength) {
    std::string out;
    out.resize(input.size() * 2 + 16);
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    size_t produced = 0;
    while (true) {
        char* outPtr = &out[produced];
        size_t outLeft = out.size() - produced;
        const size_t result = inLeft > 0 ? iconv(cd, &in, &inLeft, &outPtr, &outLeft)
                                         : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        const int error = errno;
        produced = out.size() - outLeft;
        if (result != static_cast<size_t>(-1)) {
            if (inLeft == 0) break;
            continue;
        }
        if (error == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        // EILSEQ (invalid or unrepresentable) or EINVAL (cut-off sequence at the end).
        const size_t skip = std::min(inLeft, skipLength(static_cast<unsigned char>(*in)));
        out.resize(produced);
        out += replacement;
        produced = out.size();
        out.resize(produced + inLeft * 2 + 16);
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(produced);
    return out;
}

}  // namespace

std::string localeCodePage() {
    std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    std::string name = codeset ? codeset : "";
    if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII" || name == "US-ASCII") return "UTF-8";
    return name;
}

const std::string& internalCodePage() { return currentSetting.load(std::memory_order_acquire)->name; }

bool internalCodePageIsUtf8() { return currentSetting.load(std::memory_order_acquire)->isUtf8; }

void setInternalCodePage(const std::string& iconvName) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    allSettings->push_back(std::make_unique<const CodePageSetting>(
        CodePageSetting{iconvName, namesUtf8(iconvName)}));
    currentSetting.store(allSettings->back().get(), std::memory_order_release);
}

std::string utf8ToCodePage(const std::string& utf8, const std::string& codePage) {
    if (namesUtf8(codePage)) return utf8;
    iconv_t cd = iconvCache.get("UTF-8", codePage);
    if (cd == IconvCache::invalid()) return utf8;
    return convertWithReplacement(cd, utf8, "?", utf8SequenceLength);
}

std::string codePageToUtf8(const std::string& text, const std::string& codePage) {
    if (namesUtf8(codePage)) return text;
    iconv_t cd = iconvCache.get(codePage, "UTF-8");
    if (cd == IconvCache::invalid()) return text;
    return convertWithReplacement(cd, text, "\xEF\xBF\xBD", [](unsigned char) { return size_t{1}; });
}

}  // namespace lenvaro
