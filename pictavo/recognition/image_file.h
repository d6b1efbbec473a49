// Image files for the recognition engines, read with Leptonica (PNG, JPEG, BMP, TIFF, GIF, WebP,
// PNM), with a ceiling on their size so a hostile file cannot claim gigabytes of memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Pix;

namespace pictavo {

// Larger images are refused before they are decoded: an A3 page at 600 dpi is 70 megapixels.
inline constexpr long long kMaxImagePixels = 80LL * 1000 * 1000;

struct PixDeleter {
    void operator()(Pix* pix) const;
};
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

// Reads `path`. kOk, or kFileError when it cannot be read, is not an image Leptonica knows or
// holds more than kMaxImagePixels pixels.
int readImage(const std::string& path, PixPtr& image);

// The same checks as readImage() from the file's header alone, without decoding the pixels.
int probeImage(const std::string& path);

int pixelWidth(Pix* image);
int pixelHeight(Pix* image);

// One byte of luminance per pixel, rows top to bottom without padding.
struct GrayImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// Any depth, colour map or alpha to 8-bit grey. False when Leptonica cannot convert it.
bool toGray(Pix* image, GrayImage& gray);

// Rows top to bottom, R, G, B, no padding (the layout of live camera frames) to grey.
GrayImage grayFromRgb(int width, int height, const std::vector<uint8_t>& rgb);

// Grey pixels to a Leptonica image (for writing fixtures and test images).
PixPtr pixFromGray(const GrayImage& gray);

}  // namespace pictavo
