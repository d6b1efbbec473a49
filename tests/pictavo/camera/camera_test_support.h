// Helpers for the camera tests: frames with known marks, decoded pictures, parsed AVI files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/jpeg_codec.h"
#include "pictavo/camera/camera.h"
#include "pictavo/camera/frame_generator.h"
#include "scoped_environment.h"

namespace pictavo_test {

// A frame of one colour (B,G,R order in memory, bottom row first, as cameras deliver them).
inline pictavo::Frame solidFrame(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    pictavo::Frame frame;
    frame.width = width;
    frame.height = height;
    frame.pixels.resize(static_cast<size_t>(width) * height * 3);
    pictavo::fillRect(frame, 0, 0, width, height, r, g, b);
    return frame;
}

// The R,G,B of pixel (x, y), y from the top, of a decoded colour picture.
struct Rgb {
    int r, g, b;
};
inline Rgb pixelAt(const lenvaro::jpeg::Image& image, int x, int y) {
    const uint8_t* p = image.pixels.data() + (static_cast<size_t>(y) * image.width + x) *
                                                 static_cast<size_t>(image.components);
    if (image.components == 1) return {p[0], p[0], p[0]};
    return {p[0], p[1], p[2]};
}
inline bool near(Rgb actual, Rgb wanted, int tolerance = 40) {
    return std::abs(actual.r - wanted.r) <= tolerance &&
           std::abs(actual.g - wanted.g) <= tolerance && std::abs(actual.b - wanted.b) <= tolerance;
}

inline uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}
inline std::string fourcc(const std::vector<uint8_t>& bytes, size_t at) {
    return std::string(reinterpret_cast<const char*>(bytes.data() + at), 4);
}

// What an AVI file holds, read the way a player reads it: the headers, then the frames through
// the idx1 index.
struct AviContents {
    std::string error;  // empty when the file is well formed
    uint32_t microsecondsPerFrame = 0;
    uint32_t totalFrames = 0;
    uint32_t streams = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    std::string videoHandler;
    uint32_t videoLength = 0;
    uint32_t audioLength = 0;  // samples
    std::vector<std::vector<uint8_t>> videoFrames;
    size_t audioBytes = 0;
};

inline AviContents parseAvi(const std::vector<uint8_t>& bytes) {
    AviContents avi;
    auto fail = [&](const std::string& why) {
        avi.error = why;
        return avi;
    };
    if (bytes.size() < 12 || fourcc(bytes, 0) != "RIFF" || fourcc(bytes, 8) != "AVI ")
        return fail("not RIFF AVI");
    if (le32(bytes, 4) + 8 != bytes.size()) return fail("RIFF size does not match the file");
    size_t moviData = 0;
    std::string streamType;
    size_t at = 12;
    // Walk the top level and the hdrl list.
    while (at + 8 <= bytes.size()) {
        const std::string id = fourcc(bytes, at);
        const uint32_t size = le32(bytes, at + 4);
        if (at + 8 + size > bytes.size()) return fail("chunk " + id + " runs past the end");
        if (id == "LIST") {
            const std::string kind = fourcc(bytes, at + 8);
            if (kind == "movi") {
                moviData = at + 8;  // offsets in idx1 count from the "movi" code
                at += 8 + size + (size & 1);
                continue;
            }
            at += 12;  // descend into hdrl and strl
            continue;
        }
        if (id == "avih") {
            avi.microsecondsPerFrame = le32(bytes, at + 8);
            avi.totalFrames = le32(bytes, at + 8 + 16);
            avi.streams = le32(bytes, at + 8 + 24);
            avi.width = le32(bytes, at + 8 + 32);
            avi.height = le32(bytes, at + 8 + 36);
        } else if (id == "strh") {
            streamType = fourcc(bytes, at + 8);
            if (streamType == "vids") {
                avi.videoHandler = fourcc(bytes, at + 12);
                avi.videoLength = le32(bytes, at + 8 + 32);
            } else if (streamType == "auds") {
                avi.audioLength = le32(bytes, at + 8 + 32);
            }
        } else if (id == "idx1") {
            if (moviData == 0) return fail("idx1 before movi");
            for (size_t entry = at + 8; entry + 16 <= at + 8 + size; entry += 16) {
                const std::string chunk = fourcc(bytes, entry);
                const size_t offset = moviData + le32(bytes, entry + 8);
                const uint32_t length = le32(bytes, entry + 12);
                if (offset + 8 + length > bytes.size() || fourcc(bytes, offset) != chunk ||
                    le32(bytes, offset + 4) != length)
                    return fail("index entry does not point at its chunk");
                if (chunk == "00dc")
                    avi.videoFrames.emplace_back(
                        bytes.begin() + static_cast<long>(offset + 8),
                        bytes.begin() + static_cast<long>(offset + 8 + length));
                else if (chunk == "01wb")
                    avi.audioBytes += length;
            }
        }
        at += 8 + size + (size & 1);
    }
    if (moviData == 0) return fail("no movi list");
    return avi;
}

}  // namespace pictavo_test
