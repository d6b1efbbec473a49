// PNG reading and writing with libpng's simplified interface, which keeps its own error
// handling (no longjmp reaches our frames) and answers failures as a zero result.
#include "pictavo/imaging/png_codec.h"

#include <png.h>
#include <zlib.h>

#include <cmath>
#include <cstring>

#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr size_t kSignatureBytes = 8;
constexpr size_t kHeaderChunkEnd = kSignatureBytes + 4 + 4 + 13 + 4;  // IHDR is always first
constexpr double kMetresPerInch = 0.0254;

uint32_t readBigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

void putBigEndian32(std::vector<uint8_t>& b, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(value >> shift));
}

// The density from the pHYs chunk, which must come before the first image data.
void readDensity(const std::vector<uint8_t>& b, double& xDpi, double& yDpi) {
    xDpi = yDpi = 0;
    size_t at = kSignatureBytes;
    while (at + 8 <= b.size()) {
        const uint64_t length = readBigEndian32(&b[at]);
        const uint8_t* type = &b[at + 4];
        if (std::memcmp(type, "IDAT", 4) == 0) return;
        if (std::memcmp(type, "pHYs", 4) == 0) {
            // Pixels per unit for x and y, then the unit: 1 is the metre, 0 means aspect only.
            if (length == 9 && at + 8 + 9 <= b.size() && b[at + 16] == 1) {
                xDpi = readBigEndian32(&b[at + 8]) * kMetresPerInch;
                yDpi = readBigEndian32(&b[at + 12]) * kMetresPerInch;
            }
            return;
        }
        at += 8 + length + 4;
    }
}

// libpng frees what begin_read allocated whether or not the read finishes.
struct PngImage {
    png_image image{};
    PngImage() { image.version = PNG_IMAGE_VERSION; }
    ~PngImage() { png_image_free(&image); }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;
};

bool isPng(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= kSignatureBytes && png_sig_cmp(bytes.data(), 0, kSignatureBytes) == 0;
}

int beginRead(const std::vector<uint8_t>& bytes, PngImage& png) {
    if (!isPng(bytes)) return kNotSupported;
    if (png_image_begin_read_from_memory(&png.image, bytes.data(), bytes.size()) == 0) {
        return kFileError;
    }
    const uint64_t pixels = static_cast<uint64_t>(png.image.width) * png.image.height;
    if (pixels == 0 || pixels > kMaxPicturePixels) return kFileError;
    return kOk;
}

}  // namespace

int inspectPng(const std::vector<uint8_t>& bytes, PictureInfo& info) {
    PngImage png;
    const int status = beginRead(bytes, png);
    if (status != kOk) return status;
    info.format = ImageFormat::kPng;
    info.width = static_cast<int>(png.image.width);
    info.height = static_cast<int>(png.image.height);
    readDensity(bytes, info.xDpi, info.yDpi);
    return kOk;
}

int decodePng(const std::vector<uint8_t>& bytes, Picture& picture) {
    PngImage png;
    const int status = beginRead(bytes, png);
    if (status != kOk) return status;
    const bool colour = (png.image.format & PNG_FORMAT_FLAG_COLOR) != 0;
    png.image.format = colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;

    Picture decoded;
    decoded.width = static_cast<int>(png.image.width);
    decoded.height = static_cast<int>(png.image.height);
    decoded.components = colour ? 3 : 1;
    decoded.pixels.resize(PNG_IMAGE_SIZE(png.image));
    const png_color white{255, 255, 255};
    if (png_image_finish_read(&png.image, &white, decoded.pixels.data(), 0, nullptr) == 0) {
        return kFileError;
    }
    readDensity(bytes, decoded.xDpi, decoded.yDpi);
    picture = std::move(decoded);
    return kOk;
}

bool encodePng(const Picture& picture, std::vector<uint8_t>& out) {
    PngImage png;
    png.image.width = static_cast<png_uint_32>(picture.width);
    png.image.height = static_cast<png_uint_32>(picture.height);
    png.image.format = picture.components == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (png_image_write_get_memory_size(png.image, size, 0, picture.pixels.data(), 0, nullptr) ==
        0) {
        return false;
    }
    std::vector<uint8_t> encoded(size);
    if (png_image_write_to_memory(&png.image, encoded.data(), &size, 0, picture.pixels.data(), 0,
                                  nullptr) == 0) {
        return false;
    }
    encoded.resize(size);

    // The density goes in a pHYs chunk right after the header chunk.
    out.clear();
    if (picture.xDpi > 0 && picture.yDpi > 0 && encoded.size() >= kHeaderChunkEnd) {
        std::vector<uint8_t> chunk;
        putBigEndian32(chunk, 9);
        chunk.insert(chunk.end(), {'p', 'H', 'Y', 's'});
        putBigEndian32(chunk, static_cast<uint32_t>(std::lround(picture.xDpi / kMetresPerInch)));
        putBigEndian32(chunk, static_cast<uint32_t>(std::lround(picture.yDpi / kMetresPerInch)));
        chunk.push_back(1);
        const uLong crc = crc32(crc32(0, nullptr, 0), chunk.data() + 4, 4 + 9);
        putBigEndian32(chunk, static_cast<uint32_t>(crc));
        out.reserve(encoded.size() + chunk.size());
        out.insert(out.end(), encoded.begin(), encoded.begin() + kHeaderChunkEnd);
        out.insert(out.end(), chunk.begin(), chunk.end());
        out.insert(out.end(), encoded.begin() + kHeaderChunkEnd, encoded.end());
    } else {
        out = std::move(encoded);
    }
    return true;
}

}  // namespace pictavo
