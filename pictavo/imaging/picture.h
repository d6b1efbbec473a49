// Pictures in memory and the image files they come from: JPEG, PNG and BMP, recognised by their
// first bytes rather than by the file name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo {

// Rows top to bottom, `width * components` bytes each, no padding; components 3 (R, G, B) or
// 1 (grey). Densities are in dots per inch, 0 when the file did not say.
struct Picture {
    int width = 0;
    int height = 0;
    int components = 3;
    double xDpi = 0;
    double yDpi = 0;
    std::vector<uint8_t> pixels;

    size_t rowBytes() const { return static_cast<size_t>(width) * static_cast<size_t>(components); }
};

enum class ImageFormat { kUnknown, kJpeg, kPng, kBmp };

// What a file's header says, without decoding the pixels.
struct PictureInfo {
    ImageFormat format = ImageFormat::kUnknown;
    int width = 0;
    int height = 0;
    double xDpi = 0;
    double yDpi = 0;
};

// A picture file larger than this is refused before it is read: no document page or camera
// capture comes near it, and reading it whole would only waste memory.
inline constexpr uint64_t kMaxPictureFileBytes = 256ull * 1024 * 1024;
// Pictures with more pixels than this are refused before their pixels are decoded (a small
// file can declare an enormous picture).
inline constexpr uint64_t kMaxPicturePixels = 50ull * 1000 * 1000;

ImageFormat sniffFormat(const std::vector<uint8_t>& bytes);

// Reads a whole regular file of at most kMaxPictureFileBytes. Returns kOk or kFileError (missing,
// not a regular file, unreadable, too large).
int readPictureFile(const std::string& path, std::vector<uint8_t>& bytes);

// Statuses: kOk; kNotSupported when the bytes are no JPEG, PNG or BMP, or a kind of BMP that is
// not decoded (run-length compressed); kFileError when they are damaged or declare a picture
// outside kMaxPicturePixels.
int inspectPicture(const std::vector<uint8_t>& bytes, PictureInfo& info);
int decodePicture(const std::vector<uint8_t>& bytes, Picture& picture);

// Converts a grey picture to R, G, B in place.
void expandToRgb(Picture& picture);

}  // namespace pictavo
