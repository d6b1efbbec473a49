// Motion-JPEG frames made into JPEG files.
#include "pictavo/camera/v4l2_mjpeg.h"

#include <algorithm>

#include "common/jpeg_codec.h"

namespace pictavo {
namespace {

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kHuffmanTables = 0xC4;
constexpr uint8_t kApp0 = 0xE0;

// The standard Huffman tables (those of the JPEG standard's annex K) as DHT segments. libjpeg
// writes exactly these when it is not asked to optimise its tables, so they are taken from a
// tiny picture it encodes rather than typed in.
const std::vector<uint8_t>& standardHuffmanSegments() {
    static const std::vector<uint8_t> segments = [] {
        std::vector<uint8_t> out;
        const std::vector<uint8_t> pixels(16 * 16 * 3, 128);
        std::vector<uint8_t> jpeg;
        if (!lenvaro::jpeg::encode(pixels.data(), 16, 16, 3, 16 * 3, {}, jpeg)) return out;
        size_t at = 2;
        while (at + 4 <= jpeg.size() && jpeg[at] == kMarker && jpeg[at + 1] != kStartOfScan) {
            const size_t length = static_cast<size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
            if (at + 2 + length > jpeg.size()) break;
            if (jpeg[at + 1] == kHuffmanTables)
                out.insert(out.end(), jpeg.begin() + static_cast<long>(at),
                           jpeg.begin() + static_cast<long>(at + 2 + length));
            at += 2 + length;
        }
        return out;
    }();
    return segments;
}

void put16(std::vector<uint8_t>& out, int value) {
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xff));
    out.push_back(static_cast<uint8_t>(value & 0xff));
}

}  // namespace

bool completeMotionJpeg(const std::vector<uint8_t>& frame, int xDpi, int yDpi,
                        std::vector<uint8_t>& file) {
    if (frame.size() < 4 || frame[0] != kMarker || frame[1] != kStartOfImage) return false;
    std::vector<uint8_t> segments;
    bool hasTables = false;
    bool baseline = false;
    size_t at = 2;
    size_t scan = 0;
    while (at + 4 <= frame.size()) {
        if (frame[at] != kMarker) return false;
        const uint8_t marker = frame[at + 1];
        if (marker == kMarker) {  // fill byte
            ++at;
            continue;
        }
        if (marker == kStartOfScan) {
            scan = at;
            break;
        }
        const size_t length = static_cast<size_t>(frame[at + 2]) << 8 | frame[at + 3];
        if (length < 2 || at + 2 + length > frame.size()) return false;
        if (marker == kHuffmanTables) hasTables = true;
        if (marker == 0xC0 || marker == 0xC1) baseline = true;
        if (marker != kApp0)
            segments.insert(segments.end(), frame.begin() + static_cast<long>(at),
                            frame.begin() + static_cast<long>(at + 2 + length));
        at += 2 + length;
    }
    if (scan == 0) return false;
    if (!hasTables && (!baseline || standardHuffmanSegments().empty())) return false;

    file.clear();
    file.reserve(frame.size() + 600);
    file.insert(file.end(), {kMarker, kStartOfImage, kMarker, kApp0, 0x00, 0x10, 'J', 'F', 'I',
                             'F', 0x00, 0x01, 0x01, 0x01});  // JFIF 1.01, dots per inch
    put16(file, std::clamp(xDpi, 1, 65535));
    put16(file, std::clamp(yDpi, 1, 65535));
    file.push_back(0);  // no thumbnail
    file.push_back(0);
    file.insert(file.end(), segments.begin(), segments.end());
    if (!hasTables)
        file.insert(file.end(), standardHuffmanSegments().begin(),
                    standardHuffmanSegments().end());
    file.insert(file.end(), frame.begin() + static_cast<long>(scan), frame.end());
    return true;
}

}  // namespace pictavo
