// JPEG encoding and decoding with libjpeg, shared by the service and the built-in library.
// Every libjpeg error is caught (error manager + setjmp) and reported as false, never by
// ending the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lenvaro::jpeg {

// A decoded picture: rows top to bottom, `width * components` bytes each, no padding;
// components 3 (R, G, B) or 1 (grey).
struct Image {
    int width = 0;
    int height = 0;
    int components = 3;
    std::vector<uint8_t> pixels;
};

struct EncodeOptions {
    int quality = 75;  // 1..100, baseline tables forced
    // Pixel density stored in the JFIF header, in dots per inch; 0 leaves it unspecified.
    int xDpi = 0;
    int yDpi = 0;
    // Rows are given bottom row first (as camera frames are).
    bool bottomUp = false;
    // Pixels are B, G, R rather than R, G, B (3 components only).
    bool bgr = false;
    // COM segments written after the header.
    std::vector<std::string> comments;
    // For a picture still being made while it is encoded: called before rows are read, with how
    // many rows from the top the encoder needs by then; it returns once they are there, or false
    // when they never will be (the encoding fails).
    std::function<bool(int rows)> rowsReady;
};

// Encodes `height` rows of `width` pixels of `components` bytes (3 or 1), `stride` bytes apart,
// into `out` (replaced; its capacity is reused). On failure `out` is left empty.
bool encode(const uint8_t* pixels, int width, int height, int components, size_t stride,
            const EncodeOptions& options, std::vector<uint8_t>& out, std::string* error = nullptr);

// encode() and write the result to `path` (created or truncated, mode 0600 for new files).
bool writeFile(const std::string& path, const uint8_t* pixels, int width, int height,
               int components, size_t stride, const EncodeOptions& options,
               std::string* error = nullptr);
// The same, encoding into `bytes`, which is kept (longer than the file) for the next picture.
bool writeFile(const std::string& path, const uint8_t* pixels, int width, int height,
               int components, size_t stride, const EncodeOptions& options,
               std::vector<uint8_t>& bytes, std::string* error = nullptr);

// Decodes to RGB (3 components), or to grey when `keepGrey` and the picture is grey.
bool decode(const uint8_t* data, size_t size, Image& image, std::string* error = nullptr,
            bool keepGrey = false);
bool readFile(const std::string& path, Image& image, std::string* error = nullptr,
              bool keepGrey = false);

// How decodeScaled() lays out its pixels.
struct DecodeOptions {
    // 1, 2, 4 or 8: the picture comes out that many times smaller in each direction (sides
    // rounded up), made directly by the decoder's scaled inverse DCT at a fraction of the cost.
    int scaleDenominator = 1;
    bool bgr = false;       // B, G, R rather than R, G, B
    bool bottomUp = false;  // the bottom row first (as camera frames are)
    // A faster, slightly less exact decode (for a live preview, not for a capture).
    bool fast = false;
};
// Decodes to 3 components into `image`, whose pixel buffer is reused when large enough. On
// failure `image` may hold anything.
bool decodeScaled(const uint8_t* data, size_t size, const DecodeOptions& options, Image& image,
                  std::string* error = nullptr);

// What the header says, without decoding the pixels.
struct Info {
    int width = 0;
    int height = 0;
    int components = 0;
    int densityUnit = 0;  // 0 none (aspect only), 1 dots per inch, 2 dots per cm
    int xDensity = 0;
    int yDensity = 0;
    std::vector<std::string> comments;
};
bool readInfo(const uint8_t* data, size_t size, Info& info, std::string* error = nullptr);

// The whole file's bytes; false when it cannot be read.
bool readBytes(const std::string& path, std::vector<uint8_t>& bytes);

}  // namespace lenvaro::jpeg
