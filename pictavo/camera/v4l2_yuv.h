// Y'CbCr frames of a V4L2 camera (YUYV, NV12 and their kin, grey) to B,G,R, read with the
// range and matrix the driver states. V4L2 means the limited range (luma 16 .. 235) unless it
// says otherwise, and cameras send it so: read as full range, black would show as dark grey and
// white as light grey.
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>

#include "pictavo/camera/camera.h"

namespace pictavo {

enum class YuvMatrix { kBt601, kBt709, kBt2020 };

// V4L2's default for Y'CbCr (and what OpenCV's conversions read): BT.601, limited range.
struct YuvEncoding {
    bool limitedRange = true;
    YuvMatrix matrix = YuvMatrix::kBt601;
};

// The encoding a format from VIDIOC_S_FMT states, V4L2's defaults filled in.
YuvEncoding yuvEncodingOf(const v4l2_pix_format& format);

// The packed 4:2:2, 4:2:0 (semi-planar and planar) and grey formats converted here.
bool isYuvFormat(uint32_t pixelFormat);

// Converts one frame of `width` x `height` pixels, luma rows `bytesPerLine` apart (0: packed
// tight), into `frame` (B,G,R, bottom row first). False when `size` is too short for the format.
bool convertYuvFrame(uint32_t pixelFormat, int width, int height, uint32_t bytesPerLine,
                     const uint8_t* bytes, size_t size, const YuvEncoding& encoding, Frame& frame);

}  // namespace pictavo
