// Watermark text: font lookup, text decoding and drawing with FreeType.
#include "pictavo/camera/watermark.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace pictavo {
namespace {

std::string normalised(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c)) out += static_cast<char>(std::tolower(c));
    }
    return out;
}

// Normalised file stem -> path of every font file found; read once.
const std::map<std::string, std::string>& installedFonts() {
    static std::map<std::string, std::string> fonts;
    static std::once_flag once;
    std::call_once(once, [] {
        std::vector<std::string> roots = {"/usr/share/fonts", "/usr/local/share/fonts"};
        if (const char* home = std::getenv("HOME")) roots.push_back(std::string(home) + "/.fonts");
        for (const std::string& root : roots) {
            std::error_code error;
            std::filesystem::recursive_directory_iterator it(root, error), end;
            for (; !error && it != end; it.increment(error)) {
                const std::filesystem::path& path = it->path();
                std::string extension = path.extension().string();
                std::transform(extension.begin(), extension.end(), extension.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                if (extension != ".ttf" && extension != ".otf" && extension != ".ttc") continue;
                fonts.emplace(normalised(path.stem().string()), path.string());
            }
        }
    });
    return fonts;
}

bool lookUp(const std::string& family, bool bold, bool italic, FontChoice& choice) {
    const auto& fonts = installedFonts();
    auto find = [&](std::initializer_list<const char*> suffixes) -> bool {
        for (const char* suffix : suffixes) {
            const auto it = fonts.find(family + suffix);
            if (it != fonts.end()) {
                choice.file = it->second;
                return true;
            }
        }
        return false;
    };
    if (bold && italic && find({"boldoblique", "bolditalic"})) return true;
    if (bold && !italic && find({"bold"})) return true;
    if (italic && !bold && find({"oblique", "italic"})) return true;
    if (!find({"", "regular", "book", "roman"})) return false;
    choice.syntheticBold = bold;
    choice.syntheticItalic = italic;
    return true;
}

struct FreeTypeLibrary {
    FT_Library handle = nullptr;
    FreeTypeLibrary() {
        if (FT_Init_FreeType(&handle) != 0) handle = nullptr;
    }
    ~FreeTypeLibrary() {
        if (handle != nullptr) FT_Done_FreeType(handle);
    }
    FreeTypeLibrary(const FreeTypeLibrary&) = delete;
    FreeTypeLibrary& operator=(const FreeTypeLibrary&) = delete;
};

struct FreeTypeFace {
    FT_Face handle = nullptr;
    FreeTypeFace(FT_Library library, const std::string& file) {
        if (FT_New_Face(library, file.c_str(), 0, &handle) != 0) handle = nullptr;
    }
    ~FreeTypeFace() {
        if (handle != nullptr) FT_Done_Face(handle);
    }
    FreeTypeFace(const FreeTypeFace&) = delete;
    FreeTypeFace& operator=(const FreeTypeFace&) = delete;
};

// The text's coverage, 0..255 per pixel, with the baseline at row `baseline`.
struct Mask {
    int width = 0;
    int height = 0;
    int baseline = 0;
    std::vector<uint8_t> coverage;
    uint8_t at(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return 0;
        return coverage[static_cast<size_t>(y) * static_cast<size_t>(width) +
                        static_cast<size_t>(x)];
    }
};

struct RenderedGlyph {
    int left = 0;  // from the pen position
    int top = 0;   // above the baseline
    int width = 0;
    int rows = 0;
    std::vector<uint8_t> pixels;
};

bool renderMask(const WatermarkSettings& mark, int pixelSize, Mask& mask) {
    FreeTypeLibrary library;
    if (library.handle == nullptr) return false;
    FreeTypeFace face(library.handle, mark.fontFile);
    if (face.handle == nullptr) return false;
    if (FT_Set_Pixel_Sizes(face.handle, 0, static_cast<FT_UInt>(pixelSize)) != 0) return false;

    const FT_Pos embolden = mark.syntheticBold ? std::max<FT_Pos>(64, pixelSize * 64 / 20) : 0;
    std::vector<std::pair<int, RenderedGlyph>> glyphs;  // pen x, glyph
    int pen = 0;
    for (char32_t code : decodeText(mark.text)) {
        if (FT_Load_Char(face.handle, code, FT_LOAD_NO_BITMAP) != 0) continue;
        FT_GlyphSlot slot = face.handle->glyph;
        if (embolden != 0 && slot->format == FT_GLYPH_FORMAT_OUTLINE)
            FT_Outline_Embolden(&slot->outline, embolden);
        if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) continue;
        RenderedGlyph glyph;
        glyph.left = slot->bitmap_left;
        glyph.top = slot->bitmap_top;
        glyph.width = static_cast<int>(slot->bitmap.width);
        glyph.rows = static_cast<int>(slot->bitmap.rows);
        glyph.pixels.resize(static_cast<size_t>(glyph.width) * static_cast<size_t>(glyph.rows));
        for (int row = 0; row < glyph.rows; ++row) {
            const unsigned char* source = slot->bitmap.buffer + row * slot->bitmap.pitch;
            std::copy(source, source + glyph.width,
                      glyph.pixels.begin() + static_cast<long>(row) * glyph.width);
        }
        glyphs.emplace_back(pen, std::move(glyph));
        pen += static_cast<int>((slot->advance.x + embolden) >> 6);
    }
    if (glyphs.empty() || pen <= 0) return false;

    const int ascender = static_cast<int>(face.handle->size->metrics.ascender >> 6);
    const int descender = static_cast<int>(-(face.handle->size->metrics.descender >> 6));
    mask.width = pen + 2;
    mask.height = std::max(1, ascender + descender);
    mask.baseline = ascender;
    mask.coverage.assign(static_cast<size_t>(mask.width) * static_cast<size_t>(mask.height), 0);
    for (const auto& [x, glyph] : glyphs) {
        for (int row = 0; row < glyph.rows; ++row) {
            const int y = mask.baseline - glyph.top + row;
            if (y < 0 || y >= mask.height) continue;
            for (int column = 0; column < glyph.width; ++column) {
                const int mx = x + glyph.left + column;
                if (mx < 0 || mx >= mask.width) continue;
                uint8_t& cell = mask.coverage[static_cast<size_t>(y) * mask.width + mx];
                cell =
                    std::max(cell, glyph.pixels[static_cast<size_t>(row) * glyph.width + column]);
            }
        }
    }
    if (mark.underline) {
        const int thickness = std::max(1, pixelSize / 16);
        const int top =
            std::min(mask.height - thickness, mask.baseline + std::max(1, descender / 2));
        for (int y = std::max(0, top); y < top + thickness && y < mask.height; ++y)
            std::fill_n(mask.coverage.begin() + static_cast<long>(y) * mask.width, mask.width, 255);
    }
    return true;
}

// Where the centre of a box of half sizes (halfWidth, halfHeight) goes in a picture.
void anchor(int place, int width, int height, double halfWidth, double halfHeight, double margin,
            double& cx, double& cy) {
    const bool left = place == kWatermarkTopLeft || place == kWatermarkBottomLeft;
    const bool right = place == kWatermarkTopRight || place == kWatermarkBottomRight;
    const bool top = place == kWatermarkTopLeft || place == kWatermarkTopRight;
    const bool bottom = place == kWatermarkBottomLeft || place == kWatermarkBottomRight;
    cx = left ? margin + halfWidth : right ? width - margin - halfWidth : width / 2.0;
    cy = top ? margin + halfHeight : bottom ? height - margin - halfHeight : height / 2.0;
    // Text larger than the picture is centred, so that both of its ends are cut alike.
    if (2 * (halfWidth + margin) > width) cx = width / 2.0;
    if (2 * (halfHeight + margin) > height) cy = height / 2.0;
}

}  // namespace

FontChoice findFont(const std::string& name, bool bold, bool italic) {
    FontChoice choice;
    const std::string family = normalised(name);
    if (!family.empty() && lookUp(family, bold, italic, choice)) return choice;
    choice = FontChoice{};
    if (lookUp("dejavusans", bold, italic, choice)) return choice;
    choice = FontChoice{};
    const auto& fonts = installedFonts();
    if (!fonts.empty()) {
        choice.file = fonts.begin()->second;
        choice.syntheticBold = bold;
        choice.syntheticItalic = italic;
    }
    return choice;
}

FontChoice findFontFor(const std::string& name, bool bold, bool italic, const std::string& text) {
    FontChoice choice = findFont(name, bold, italic);
    if (choice.file.empty()) return choice;
    FreeTypeLibrary library;
    if (library.handle == nullptr) return choice;
    const std::u32string codes = decodeText(text);
    auto covers = [&](const std::string& file) {
        FreeTypeFace face(library.handle, file);
        if (face.handle == nullptr) return false;
        for (char32_t code : codes) {
            if (code > U' ' && FT_Get_Char_Index(face.handle, code) == 0) return false;
        }
        return true;
    };
    if (covers(choice.file)) return choice;
    for (const auto& [stem, file] : installedFonts()) {
        if (!covers(file)) continue;
        return FontChoice{file, bold, italic};
    }
    return choice;  // nothing has them all: missing characters show as boxes
}

std::u32string decodeText(const std::string& text) {
    // UTF-8, when every sequence is well formed.
    std::u32string out;
    bool valid = true;
    for (size_t i = 0; i < text.size() && valid;) {
        const auto byte = static_cast<unsigned char>(text[i]);
        int extra = byte < 0x80             ? 0
                    : (byte & 0xE0) == 0xC0 ? 1
                    : (byte & 0xF0) == 0xE0 ? 2
                    : (byte & 0xF8) == 0xF0 ? 3
                                            : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) {
            valid = false;
            break;
        }
        char32_t code = extra == 0 ? byte : byte & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80) valid = false;
            code = (code << 6) | (next & 0x3F);
        }
        out += code;
        i += static_cast<size_t>(extra) + 1;
    }
    if (valid) return out;

    // The locale's encoding (GBK under zh_CN.GBK, for instance).
    out.clear();
    const char* codeset = nl_langinfo(CODESET);
    iconv_t converter = iconv_open("UTF-32LE", codeset != nullptr ? codeset : "ISO-8859-1");
    if (converter != reinterpret_cast<iconv_t>(-1)) {
        std::string input = text;
        std::vector<char> output(text.size() * 4 + 8);
        char* in = input.data();
        size_t inLeft = input.size();
        char* outAt = output.data();
        size_t outLeft = output.size();
        const size_t done = iconv(converter, &in, &inLeft, &outAt, &outLeft);
        iconv_close(converter);
        if (done != static_cast<size_t>(-1)) {
            const size_t units = (output.size() - outLeft) / 4;
            for (size_t i = 0; i < units; ++i) {
                const auto* b = reinterpret_cast<const unsigned char*>(output.data() + i * 4);
                out += static_cast<char32_t>(b[0] | (b[1] << 8) | (b[2] << 16) |
                                             (static_cast<uint32_t>(b[3]) << 24));
            }
            return out;
        }
        out.clear();
    }
    for (unsigned char c : text) out += static_cast<char32_t>(c);  // Latin-1
    return out;
}

bool drawWatermark(Raster& raster, const WatermarkSettings& mark, int pixelSize) {
    if (!mark.enabled || mark.text.empty()) return true;
    Mask mask;
    if (pixelSize < 1 || !renderMask(mark, pixelSize, mask)) return false;

    const double shear = mark.syntheticItalic ? 0.2 : 0.0;
    const double localWidth = mask.width + shear * mask.height;
    const double radians = mark.angle * M_PI / 180.0;
    const double c = std::cos(radians), s = std::sin(radians);
    const double halfWidth = std::abs(c) * localWidth / 2 + std::abs(s) * mask.height / 2;
    const double halfHeight = std::abs(s) * localWidth / 2 + std::abs(c) * mask.height / 2;
    double cx = 0, cy = 0;
    anchor(mark.place, raster.width, raster.height, halfWidth, halfHeight, pixelSize / 2.0, cx, cy);

    const double opacity = 1.0 - std::clamp(static_cast<double>(mark.transparency), 0.0, 1.0);
    const int grey = (299 * mark.r + 587 * mark.g + 114 * mark.b + 500) / 1000;
    const int x0 = std::max(0, static_cast<int>(std::floor(cx - halfWidth)));
    const int x1 = std::min(raster.width, static_cast<int>(std::ceil(cx + halfWidth)) + 1);
    const int y0 = std::max(0, static_cast<int>(std::floor(cy - halfHeight)));
    const int y1 = std::min(raster.height, static_cast<int>(std::ceil(cy + halfHeight)) + 1);
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            // Back from the picture into the text's own coordinates.
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            const double u = dx * c - dy * s + localWidth / 2;
            const double v = dx * s + dy * c + mask.height / 2.0;
            const double mx = u - shear * (mask.baseline - v) - 0.5;
            const double my = v - 0.5;
            const int ix = static_cast<int>(std::floor(mx)), iy = static_cast<int>(std::floor(my));
            const double fx = mx - ix, fy = my - iy;
            const double coverage =
                (mask.at(ix, iy) * (1 - fx) + mask.at(ix + 1, iy) * fx) * (1 - fy) +
                (mask.at(ix, iy + 1) * (1 - fx) + mask.at(ix + 1, iy + 1) * fx) * fy;
            const double alpha = coverage / 255.0 * opacity;
            if (alpha <= 0) continue;
            uint8_t* p = raster.at(x, y);
            if (raster.channels == 1) {
                p[0] = static_cast<uint8_t>(std::lround(p[0] * (1 - alpha) + grey * alpha));
            } else {
                p[0] = static_cast<uint8_t>(std::lround(p[0] * (1 - alpha) + mark.r * alpha));
                p[1] = static_cast<uint8_t>(std::lround(p[1] * (1 - alpha) + mark.g * alpha));
                p[2] = static_cast<uint8_t>(std::lround(p[2] * (1 - alpha) + mark.b * alpha));
            }
        }
    }
    return true;
}

}  // namespace pictavo
