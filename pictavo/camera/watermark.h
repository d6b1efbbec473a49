// Watermark text drawn with FreeType from the fonts installed on this computer.
#pragma once

#include <string>

#include "pictavo/camera/image_ops.h"
#include "pictavo/camera/image_settings.h"

namespace pictavo {

struct FontChoice {
    std::string file;  // "" when no font file was found at all
    bool syntheticBold = false;
    bool syntheticItalic = false;
};

// The font file for the family `name` ("DejaVu Sans", "DejaVuSerif", ...): its bold and italic
// face when asked for and installed, else its plain face with the style drawn by the library;
// an unknown or empty name gets DejaVu Sans, or any font at hand. Looks in /usr/share/fonts,
// /usr/local/share/fonts and ~/.fonts (the list is read once).
FontChoice findFont(const std::string& name, bool bold, bool italic);

// findFont(), unless that font lacks a character of `text` (Chinese text in a Latin font): then
// the first installed font that has them all, with the style drawn by the library.
FontChoice findFontFor(const std::string& name, bool bold, bool italic, const std::string& text);

// Draws the watermark onto `raster` (R,G,B or grey). `pixelSize` is the text height in pixels.
// False when the font cannot be loaded or the text cannot be drawn (the raster is unchanged).
bool drawWatermark(Raster& raster, const WatermarkSettings& mark, int pixelSize);

// The text as Unicode code points: UTF-8 when it is valid UTF-8, else the encoding of the
// current locale, else Latin-1.
std::u32string decodeText(const std::string& text);

}  // namespace pictavo
