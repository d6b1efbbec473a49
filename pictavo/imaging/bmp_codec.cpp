// Windows bitmap reading and writing. Every size and offset read from the file is checked
// against the bytes actually present before it is used.
#include "pictavo/imaging/bmp_codec.h"

#include <cmath>
#include <cstdlib>

#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr uint32_t kCoreHeaderBytes = 12;  // the old OS/2 header: 16-bit sizes, 3-byte palette
constexpr uint32_t kInfoHeaderBytes = 40;

// Compression codes of the info header.
constexpr uint32_t kPlainRgb = 0;
constexpr uint32_t kBitFields = 3;
constexpr uint32_t kAlphaBitFields = 6;

constexpr double kMetresPerInch = 0.0254;

uint32_t read16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8;
}

uint32_t read32(const std::vector<uint8_t>& b, size_t at) {
    return read16(b, at) | read16(b, at + 2) << 16;
}

void put16(std::vector<uint8_t>& b, uint32_t value) {
    b.push_back(static_cast<uint8_t>(value));
    b.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>& b, uint32_t value) {
    put16(b, value & 0xFFFF);
    put16(b, value >> 16);
}

// One colour channel described by a mask: where it sits and how to stretch it to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t maximum = 0;  // the largest value the channel can hold once shifted down

    explicit Channel(uint32_t m) : mask(m) {
        if (mask == 0) return;
        while (((mask >> shift) & 1u) == 0) ++shift;
        maximum = mask >> shift;
    }

    uint8_t value(uint32_t pixel) const {
        if (maximum == 0) return 0;
        const uint64_t raw = (pixel & mask) >> shift;
        return static_cast<uint8_t>((raw * 255 + maximum / 2) / maximum);
    }
};

struct Header {
    int width = 0;
    int height = 0;  // rows, always positive
    bool topDown = false;
    uint32_t bitCount = 0;
    uint32_t compression = kPlainRgb;
    uint32_t dataOffset = 0;
    uint32_t paletteOffset = 0;
    uint32_t paletteEntryBytes = 4;
    uint32_t paletteEntries = 0;
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue
    double xDpi = 0;
    double yDpi = 0;
};

double dpiFromPixelsPerMetre(uint32_t raw) {
    const auto perMetre = static_cast<int32_t>(raw);
    return perMetre > 0 ? perMetre * kMetresPerInch : 0;
}

int readHeader(const std::vector<uint8_t>& b, Header& h) {
    if (b.size() < kFileHeaderBytes + 4 || b[0] != 'B' || b[1] != 'M') return kNotSupported;
    h.dataOffset = read32(b, 10);
    const uint32_t headerBytes = read32(b, kFileHeaderBytes);
    if (headerBytes < kCoreHeaderBytes || kFileHeaderBytes + headerBytes > b.size()) {
        return kFileError;
    }
    int64_t height = 0;
    if (headerBytes == kCoreHeaderBytes) {
        h.width = static_cast<int>(read16(b, 18));
        height = read16(b, 20);
        h.bitCount = read16(b, 24);
        h.paletteEntryBytes = 3;
    } else {
        if (headerBytes < kInfoHeaderBytes) return kFileError;
        h.width = static_cast<int32_t>(read32(b, 18));
        height = static_cast<int32_t>(read32(b, 22));
        h.bitCount = read16(b, 28);
        h.compression = read32(b, 30);
        h.xDpi = dpiFromPixelsPerMetre(read32(b, 38));
        h.yDpi = dpiFromPixelsPerMetre(read32(b, 42));
        h.paletteEntries = read32(b, 46);
    }
    h.topDown = height < 0;
    height = std::llabs(height);
    if (h.width <= 0 || height <= 0 ||
        static_cast<uint64_t>(h.width) * static_cast<uint64_t>(height) > kMaxPicturePixels) {
        return kFileError;
    }
    h.height = static_cast<int>(height);

    // Masks live in the larger headers, or right after the 40-byte one.
    size_t afterHeader = kFileHeaderBytes + headerBytes;
    if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
        size_t masksAt = kFileHeaderBytes + kInfoHeaderBytes;
        if (headerBytes == kInfoHeaderBytes) {
            afterHeader += h.compression == kBitFields ? 12 : 16;
        }
        if (masksAt + 12 > b.size()) return kFileError;
        for (int i = 0; i < 3; ++i) h.masks[i] = read32(b, masksAt + 4 * static_cast<size_t>(i));
    } else if (h.compression == kPlainRgb) {
        if (h.bitCount == 16) {
            h.masks[0] = 0x7C00;
            h.masks[1] = 0x03E0;
            h.masks[2] = 0x001F;
        } else if (h.bitCount == 32) {
            h.masks[0] = 0x00FF0000;
            h.masks[1] = 0x0000FF00;
            h.masks[2] = 0x000000FF;
        }
    } else {
        // Run-length, embedded JPEG or PNG: not decoded here.
        return kNotSupported;
    }

    switch (h.bitCount) {
        case 1:
        case 4:
        case 8:
            if (h.compression != kPlainRgb) return kFileError;
            if (h.paletteEntries == 0 || h.paletteEntries > (1u << h.bitCount)) {
                h.paletteEntries = 1u << h.bitCount;
            }
            break;
        case 16:
        case 32:
            break;
        case 24:
            if (h.compression != kPlainRgb) return kFileError;
            break;
        default:
            return kFileError;
    }
    if (h.bitCount > 8) h.paletteEntries = 0;
    h.paletteOffset = static_cast<uint32_t>(afterHeader);
    return kOk;
}

}  // namespace

int inspectBmp(const std::vector<uint8_t>& bytes, PictureInfo& info) {
    Header h;
    const int status = readHeader(bytes, h);
    if (status != kOk) return status;
    info.format = ImageFormat::kBmp;
    info.width = h.width;
    info.height = h.height;
    info.xDpi = h.xDpi;
    info.yDpi = h.yDpi;
    return kOk;
}

int decodeBmp(const std::vector<uint8_t>& bytes, Picture& picture) {
    Header h;
    const int status = readHeader(bytes, h);
    if (status != kOk) return status;

    // A palette cut short by the pixel data or the end of the file keeps the entries present;
    // indexes beyond them read as black.
    std::vector<uint8_t> palette(static_cast<size_t>(h.paletteEntries) * 3, 0);
    for (uint32_t i = 0; i < h.paletteEntries; ++i) {
        const size_t at = h.paletteOffset + static_cast<size_t>(i) * h.paletteEntryBytes;
        if (at + 3 > bytes.size() || (h.dataOffset >= h.paletteOffset && at + 3 > h.dataOffset)) {
            palette.resize(static_cast<size_t>(i) * 3);
            break;
        }
        uint8_t* entry = &palette[3 * static_cast<size_t>(i)];
        entry[0] = bytes[at + 2];
        entry[1] = bytes[at + 1];
        entry[2] = bytes[at];
    }

    const uint64_t rowBits = static_cast<uint64_t>(h.bitCount) * static_cast<uint64_t>(h.width);
    const uint64_t stride = (rowBits + 31) / 32 * 4;
    const uint64_t usedLastRow = (rowBits + 7) / 8;
    if (h.dataOffset > bytes.size() ||
        stride * static_cast<uint64_t>(h.height - 1) + usedLastRow > bytes.size() - h.dataOffset) {
        return kFileError;
    }

    const Channel red(h.masks[0]);
    const Channel green(h.masks[1]);
    const Channel blue(h.masks[2]);
    picture = Picture{};
    picture.width = h.width;
    picture.height = h.height;
    picture.components = 3;
    picture.xDpi = h.xDpi;
    picture.yDpi = h.yDpi;
    picture.pixels.resize(picture.rowBytes() * static_cast<size_t>(h.height));

    for (int y = 0; y < h.height; ++y) {
        const int fileRow = h.topDown ? y : h.height - 1 - y;
        const uint8_t* row = bytes.data() + h.dataOffset + stride * static_cast<uint64_t>(fileRow);
        uint8_t* out = picture.pixels.data() + picture.rowBytes() * static_cast<size_t>(y);
        for (int x = 0; x < h.width; ++x, out += 3) {
            const auto ux = static_cast<size_t>(x);
            if (h.bitCount <= 8) {
                const size_t bit = ux * h.bitCount;
                const uint32_t index =
                    (row[bit / 8] >> (8 - h.bitCount - bit % 8)) & ((1u << h.bitCount) - 1);
                const size_t entry = 3 * static_cast<size_t>(index);
                if (entry + 2 < palette.size()) {
                    out[0] = palette[entry];
                    out[1] = palette[entry + 1];
                    out[2] = palette[entry + 2];
                } else {
                    out[0] = out[1] = out[2] = 0;
                }
            } else if (h.bitCount == 24) {
                out[0] = row[3 * ux + 2];
                out[1] = row[3 * ux + 1];
                out[2] = row[3 * ux];
            } else {
                const uint32_t pixel = h.bitCount == 16
                                           ? static_cast<uint32_t>(row[2 * ux]) |
                                                 static_cast<uint32_t>(row[2 * ux + 1]) << 8
                                           : static_cast<uint32_t>(row[4 * ux]) |
                                                 static_cast<uint32_t>(row[4 * ux + 1]) << 8 |
                                                 static_cast<uint32_t>(row[4 * ux + 2]) << 16 |
                                                 static_cast<uint32_t>(row[4 * ux + 3]) << 24;
                out[0] = red.value(pixel);
                out[1] = green.value(pixel);
                out[2] = blue.value(pixel);
            }
        }
    }
    return kOk;
}

std::vector<uint8_t> encodeBmp(const Picture& picture) {
    const auto width = static_cast<uint64_t>(picture.width);
    const auto height = static_cast<uint64_t>(picture.height);
    const uint64_t stride = (width * 3 + 3) / 4 * 4;
    const uint64_t dataBytes = stride * height;
    const uint64_t offset = kFileHeaderBytes + kInfoHeaderBytes;

    std::vector<uint8_t> b;
    b.reserve(static_cast<size_t>(offset + dataBytes));
    b.push_back('B');
    b.push_back('M');
    put32(b, static_cast<uint32_t>(offset + dataBytes));
    put32(b, 0);
    put32(b, static_cast<uint32_t>(offset));
    put32(b, kInfoHeaderBytes);
    put32(b, static_cast<uint32_t>(width));
    put32(b, static_cast<uint32_t>(height));  // positive: bottom row first
    put16(b, 1);
    put16(b, 24);
    put32(b, kPlainRgb);
    put32(b, static_cast<uint32_t>(dataBytes));
    put32(b, static_cast<uint32_t>(std::lround(picture.xDpi / kMetresPerInch)));
    put32(b, static_cast<uint32_t>(std::lround(picture.yDpi / kMetresPerInch)));
    put32(b, 0);
    put32(b, 0);

    for (uint64_t row = height; row-- > 0;) {
        const uint8_t* in = picture.pixels.data() + picture.rowBytes() * row;
        for (uint64_t x = 0; x < width; ++x) {
            if (picture.components == 1) {
                b.insert(b.end(), 3, in[x]);
            } else {
                b.push_back(in[3 * x + 2]);
                b.push_back(in[3 * x + 1]);
                b.push_back(in[3 * x]);
            }
        }
        b.insert(b.end(), static_cast<size_t>(stride - width * 3), 0);
    }
    return b;
}

}  // namespace pictavo
