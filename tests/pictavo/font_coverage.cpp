// Font facts through fontconfig.
#include "font_coverage.h"

#include <fontconfig/fontconfig.h>

#include <memory>

namespace pictavo_test {
namespace {

struct PatternDeleter {
    void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
struct CharSetDeleter {
    void operator()(FcCharSet* set) const { FcCharSetDestroy(set); }
};
using Pattern = std::unique_ptr<FcPattern, PatternDeleter>;
using CharSet = std::unique_ptr<FcCharSet, CharSetDeleter>;

// The characters of UTF-8 `text` other than spaces and controls; null when it is not UTF-8.
CharSet charactersOf(const std::string& text) {
    CharSet set(FcCharSetCreate());
    const auto* bytes = reinterpret_cast<const FcChar8*>(text.data());
    int left = static_cast<int>(text.size());
    while (left > 0) {
        FcChar32 code = 0;
        const int used = FcUtf8ToUcs4(bytes, &code, left);
        if (used <= 0) return nullptr;
        if (code > U' ') FcCharSetAddChar(set.get(), code);
        bytes += used;
        left -= used;
    }
    return set;
}

// The first face of `file`, as fontconfig reads it.
Pattern query(const std::string& file) {
    int count = 0;
    return Pattern(FcFreeTypeQuery(reinterpret_cast<const FcChar8*>(file.c_str()), 0, nullptr, &count));
}

}  // namespace

FontFacts fontFacts(const std::string& file) {
    FontFacts facts;
    const Pattern pattern = query(file);
    if (!pattern) return facts;
    facts.readable = true;
    FcChar8* family = nullptr;
    if (FcPatternGetString(pattern.get(), FC_FAMILY, 0, &family) == FcResultMatch)
        facts.family = reinterpret_cast<const char*>(family);
    FcPatternGetInteger(pattern.get(), FC_WEIGHT, 0, &facts.weight);
    FcPatternGetInteger(pattern.get(), FC_SLANT, 0, &facts.slant);
    return facts;
}

bool fontCovers(const std::string& file, const std::string& text) {
    const CharSet wanted = charactersOf(text);
    const Pattern pattern = query(file);
    FcCharSet* has = nullptr;
    if (!wanted || !pattern || FcPatternGetCharSet(pattern.get(), FC_CHARSET, 0, &has) != FcResultMatch)
        return false;
    return FcCharSetIsSubset(wanted.get(), has) == FcTrue;
}

bool someInstalledFontCovers(const std::string& text) {
    const CharSet wanted = charactersOf(text);
    if (!wanted || !FcInit()) return false;
    const Pattern pattern(FcPatternCreate());
    FcPatternAddCharSet(pattern.get(), FC_CHARSET, wanted.get());
    FcObjectSet* properties = FcObjectSetBuild(FC_FILE, nullptr);
    FcFontSet* fonts = FcFontList(nullptr, pattern.get(), properties);
    FcObjectSetDestroy(properties);
    const bool found = fonts != nullptr && fonts->nfont > 0;
    if (fonts != nullptr) FcFontSetDestroy(fonts);
    return found;
}

}  // namespace pictavo_test

// fontconfig leaks a little of what it builds while parsing some of the configuration files
// that font packages install (which ones depends on the machine), and it reads them the first
// time these helpers ask it. Those allocations belong to the machine's configuration, not to
// our code. fontconfig is built without frame pointers, so the parser's frames are not in the
// stack LeakSanitizer records: the suppression names the library. Only these test helpers use
// fontconfig, and they hold everything they get from it in owning handles.
// Its list of used suppressions is left unprinted: any sanitizer output fails a checked run.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
