// What fonts can draw, as fontconfig reads the font files themselves: for tests that must hold
// whichever fonts a machine has, so that they check what a chosen font covers rather than
// which file it is.
#pragma once

#include <string>

namespace pictavo_test {

struct FontFacts {
    bool readable = false;
    std::string family;  // the first family name the file gives
    int weight = 0;      // fontconfig's scale: 80 regular, 200 bold
    int slant = 0;       // 0 roman, 100 italic, 110 oblique
};

FontFacts fontFacts(const std::string& file);

// Whether the font in `file` has a glyph for every character of UTF-8 `text` (spaces aside).
bool fontCovers(const std::string& file, const std::string& text);

// Whether any font fontconfig knows on this machine covers all of UTF-8 `text`.
bool someInstalledFontCovers(const std::string& text);

}  // namespace pictavo_test
