// Test pages for the recognition engines: white grey-scale pages with text drawn in a real font
// (FreeType) and barcodes drawn by ZXing-cpp's writer. Shared by the tests and the benchmark.
#pragma once

#include <ZXing/BarcodeFormat.h>

#include <memory>
#include <string>

#include "pictavo/recognition/image_file.h"

namespace pictavo_test {

using pictavo::GrayImage;

// Fonts from Debian's fonts-dejavu-core and fonts-wqy-zenhei.
inline constexpr const char* kLatinFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline constexpr const char* kChineseFont = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";

GrayImage blankPage(int width, int height);

// Draws text with FreeType.
class TextPainter {
  public:
    explicit TextPainter(const std::string& fontPath);
    ~TextPainter();
    TextPainter(const TextPainter&) = delete;
    TextPainter& operator=(const TextPainter&) = delete;

    bool loaded() const { return face_ != nullptr; }
    // Draws UTF-8 `text` in black with its baseline at `baseline`, starting at `x`, glyphs
    // `pixelSize` pixels high; returns the x after the last glyph.
    int draw(GrayImage& page, int x, int baseline, int pixelSize, const std::string& text);

  private:
    struct Library;
    std::unique_ptr<Library> library_;
    void* face_ = nullptr;
};

// Draws a code of `format` with `content` at (x, y), scaled up to at least width x height
// pixels (linear codes keep their own height ratio only if height is given). Returns false when
// the writer refuses the content.
bool drawBarcode(GrayImage& page, int x, int y, ZXing::BarcodeFormat format,
                 const std::string& content, int width, int height);

// Draws a rectangle outline `thickness` pixels wide.
void drawBox(GrayImage& page, int left, int top, int right, int bottom, int thickness);

// Writes PNG, or JPEG at quality 90 for a ".jpg" path, with Leptonica; false on failure.
bool writeImage(const GrayImage& page, const std::string& path);

}  // namespace pictavo_test
