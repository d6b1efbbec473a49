// What a V4L2 capture node offers: its pixel formats (the media types of the C interface) and,
// for each, the frame sizes the driver enumerates.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pictavo/camera/camera.h"
#include "pictavo/camera/v4l2_io.h"

namespace pictavo {

struct V4l2Format {
    uint32_t pixelFormat = 0;  // V4L2_PIX_FMT_...
    MediaType mediaType;       // name: the four-character code ("MJPG", "YUYV"); sizes largest first
};

// The four-character code as text, trailing spaces dropped ("MJPG", "Y16").
std::string fourccText(uint32_t pixelFormat);

// Whether frames of this format can be turned into B,G,R pixels: JPEG by the JPEG codec, the
// uncompressed formats OpenCV converts. Compressed video (H.264, ...) cannot.
bool convertibleFormat(uint32_t pixelFormat);

// The sizes offered by a stepwise or continuous range: the usual camera sizes that lie on the
// range's grid, plus its largest and smallest size; largest first.
std::vector<Resolution> sizesInRange(uint32_t minWidth, uint32_t maxWidth, uint32_t stepWidth,
                                     uint32_t minHeight, uint32_t maxHeight, uint32_t stepHeight);

// Largest area first (then widest), duplicates removed.
void sortLargestFirst(std::vector<Resolution>& sizes);

// Asks the node for its capture formats and their frame sizes (VIDIOC_ENUM_FMT,
// VIDIOC_ENUM_FRAMESIZES). Formats that cannot be converted, or that offer no size, are left
// out; the order is the driver's.
std::vector<V4l2Format> queryFormats(V4l2Handle& handle);

}  // namespace pictavo
