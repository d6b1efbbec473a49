// Drawing test pages.
#include "page_painter.h"

#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <leptonica/allheaders.h>

#include <algorithm>
#include <exception>

namespace pictavo_test {
namespace {

char32_t nextCodePoint(const std::string& text, size_t& at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (at + length > text.size()) length = 1;
    char32_t value = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) value = (value << 6) | (byte(at + i) & 0x3F);
    at += length;
    return value;
}

void darken(GrayImage& page, int x, int y, uint8_t coverage) {
    if (x < 0 || y < 0 || x >= page.width || y >= page.height) return;
    uint8_t& pixel = page.pixels[static_cast<size_t>(y) * static_cast<size_t>(page.width) +
                                 static_cast<size_t>(x)];
    pixel = std::min<uint8_t>(pixel, static_cast<uint8_t>(255 - coverage));
}

}  // namespace

struct TextPainter::Library {
    FT_Library handle = nullptr;
};

GrayImage blankPage(int width, int height) {
    GrayImage page;
    page.width = width;
    page.height = height;
    page.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 255);
    return page;
}

TextPainter::TextPainter(const std::string& fontPath) : library_(std::make_unique<Library>()) {
    if (FT_Init_FreeType(&library_->handle) != 0) return;
    FT_Face face = nullptr;
    if (FT_New_Face(library_->handle, fontPath.c_str(), 0, &face) == 0) face_ = face;
}

TextPainter::~TextPainter() {
    if (face_ != nullptr) FT_Done_Face(static_cast<FT_Face>(face_));
    if (library_->handle != nullptr) FT_Done_FreeType(library_->handle);
}

int TextPainter::draw(GrayImage& page, int x, int baseline, int pixelSize,
                      const std::string& text) {
    if (face_ == nullptr) return x;
    FT_Face face = static_cast<FT_Face>(face_);
    FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixelSize));
    for (size_t at = 0; at < text.size();) {
        const char32_t c = nextCodePoint(text, at);
        if (FT_Load_Char(face, c, FT_LOAD_RENDER) != 0) continue;
        const FT_GlyphSlot glyph = face->glyph;
        const FT_Bitmap& bitmap = glyph->bitmap;
        for (unsigned row = 0; row < bitmap.rows; ++row) {
            for (unsigned column = 0; column < bitmap.width; ++column) {
                darken(page, x + glyph->bitmap_left + static_cast<int>(column),
                       baseline - glyph->bitmap_top + static_cast<int>(row),
                       bitmap.buffer[row * static_cast<unsigned>(bitmap.pitch) + column]);
            }
        }
        x += static_cast<int>(glyph->advance.x >> 6);
    }
    return x;
}

bool drawBarcode(GrayImage& page, int x, int y, ZXing::BarcodeFormat format,
                 const std::string& content, int width, int height) {
    try {
        ZXing::MultiFormatWriter writer(format);
        writer.setMargin(0);
        // Texts beyond Latin-1 go into QR codes as UTF-8.
        if (format == ZXing::BarcodeFormat::QRCode) writer.setEncoding(ZXing::CharacterSet::UTF8);
        const ZXing::BitMatrix matrix = writer.encode(content, width, height);
        for (int row = 0; row < matrix.height(); ++row) {
            for (int column = 0; column < matrix.width(); ++column) {
                if (matrix.get(column, row)) darken(page, x + column, y + row, 255);
            }
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void drawBox(GrayImage& page, int left, int top, int right, int bottom, int thickness) {
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            const bool edge = x < left + thickness || x >= right - thickness ||
                              y < top + thickness || y >= bottom - thickness;
            if (edge) darken(page, x, y, 255);
        }
    }
}

bool writeImage(const GrayImage& page, const std::string& path) {
    const pictavo::PixPtr pix = pictavo::pixFromGray(page);
    if (!pix) return false;
    const bool jpeg = path.size() >= 4 && path.compare(path.size() - 4, 4, ".jpg") == 0;
    // Quality 90 keeps printed text crisp, as a document camera's captures do.
    if (jpeg) return pixWriteJpeg(path.c_str(), pix.get(), 90, 0) == 0;
    return pixWrite(path.c_str(), pix.get(), IFF_PNG) == 0;
}

}  // namespace pictavo_test
