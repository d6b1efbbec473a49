// What the face engine compares of a picture, computed from its pixels alone: the layout of
// light and dark (a small grey thumbnail), the directions of its edges (gradient histograms over
// a grid of cells), and its colours.
#pragma once

#include <array>
#include <cstdint>

namespace pictavo {

struct FaceSignature {
    static constexpr int kThumbnailSide = 32;
    static constexpr int kCells = 8;         // per side
    static constexpr int kDirections = 9;    // per cell, 0 to 180 degrees
    static constexpr int kColourLevels = 4;  // per channel

    // Grey values less their mean, scaled to unit length (all zero for a flat picture).
    std::array<float, kThumbnailSide * kThumbnailSide> thumbnail{};
    float meanGrey = 0;  // 0 to 255
    // Edge strength by cell and direction, scaled to unit length.
    std::array<float, kCells * kCells * kDirections> edges{};
    // Share of the pixels in each colour box; sums to 1.
    std::array<float, kColourLevels * kColourLevels * kColourLevels> colours{};
};

// `pixels`: rows top to bottom, `width * components` bytes each, components 1 (grey) or 3
// (R, G, B). Width and height at least 1.
FaceSignature faceSignature(const uint8_t* pixels, int width, int height, int components);

// 100 for the same picture, near 0 for unrelated ones; symmetric.
int faceSimilarity(const FaceSignature& a, const FaceSignature& b);

}  // namespace pictavo
