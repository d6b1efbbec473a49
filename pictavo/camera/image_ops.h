// The picture operations of the capture pipeline, on a plain top-down raster.
#pragma once

#include <cstdint>
#include <vector>

#include "pictavo/camera/camera.h"
#include "pictavo/camera/image_settings.h"

namespace pictavo {

// Rows top to bottom, `channels` bytes per pixel (3: R, G, B; 1: grey), no padding.
struct Raster {
    int width = 0;
    int height = 0;
    int channels = 3;
    std::vector<uint8_t> data;

    size_t rowBytes() const { return static_cast<size_t>(width) * static_cast<size_t>(channels); }
    uint8_t* at(int x, int y) {
        return data.data() + static_cast<size_t>(y) * rowBytes() +
               static_cast<size_t>(x) * channels;
    }
    const uint8_t* at(int x, int y) const {
        return data.data() + static_cast<size_t>(y) * rowBytes() +
               static_cast<size_t>(x) * channels;
    }
};

// A rectangle in pixels: left and top inclusive, right and bottom exclusive.
struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    long area() const { return static_cast<long>(width()) * height(); }
};

// A camera frame (B,G,R, bottom row first) as an R,G,B raster, top row first.
Raster rasterFromFrame(const Frame& frame);

// Keeps the part of `raster` inside `box`, clipped to the picture. False (raster unchanged)
// when nothing of the box lies inside.
bool cropTo(Raster& raster, Box box);
// Turns the picture clockwise by `turns` quarter turns (any integer; taken modulo 4).
Raster rotateQuarterTurns(const Raster& raster, int turns);

// 3 x 3 mean filter: takes the grain out of a camera picture.
void smoothNoise(Raster& raster);
// Stretches the levels so that the darkest and brightest hundredth of the pixels reach 0
// and 255.
void stretchLevels(Raster& raster);
// 3 x 3 sharpening (centre 5, the four neighbours -1).
void sharpen(Raster& raster);
// R,G,B to one grey channel (ITU-R BT.601 weights).
void toGrey(Raster& raster);
// Grey, then black or white on either side of the threshold Otsu's method finds.
void toBlackAndWhite(Raster& raster);

// The documents on the desk: regions that stand out from the background (estimated from the
// picture's edges), largest first; regions smaller than a hundredth of the picture are left out.
std::vector<Box> findDocuments(const Raster& raster);
// Paints the background around the documents (everything background-like connected to the
// picture's edge) white.
void whitenBackground(Raster& raster);
// Paints skin-coloured pixels inside `region` with the colour (r, g, b): fingers holding a book
// open at the edges of its pages.
void paintOverSkin(Raster& raster, Box region, uint8_t r, uint8_t g, uint8_t b);

}  // namespace pictavo
