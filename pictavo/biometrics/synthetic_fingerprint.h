// Synthetic fingerprints for the simulated sensor: a ridge pattern fixed by the finger's name
// (whorl, loop or arch, with its own core, ridge spacing and distortion), laid on the sensor a
// little differently at every touch, and the 8-bit grey bitmap file the sensor hands out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo {

// 500 dots per inch, as fingerprint sensors scan.
inline constexpr int kFingerprintScanWidth = 256;
inline constexpr int kFingerprintScanHeight = 360;
inline constexpr int kFingerprintScanDpi = 500;

// Rows top to bottom, one byte per pixel, 0 black, 255 white.
struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;

    uint8_t at(int x, int y) const {
        return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};

// The scan of `finger` at its `touch`th touch (counted from 0). The same name always gives the
// same ridges; the touch number moves, turns and presses them slightly differently and adds
// sensor noise, deterministically.
GreyImage renderFingerprint(const std::string& finger, uint32_t touch);

// An uncompressed 8-bit bitmap file with a grey palette and the scan's resolution.
std::vector<uint8_t> encodeGreyBmp(const GreyImage& image, int dpi);

}  // namespace pictavo
