// From a camera frame to the bytes of a captured JPEG file, and onto the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pictavo/camera/camera.h"
#include "pictavo/camera/image_ops.h"
#include "pictavo/camera/image_settings.h"

namespace pictavo {

// Applies `settings` to `frame` in the documented order (fill border, automatic or custom crop,
// rotation, denoise, adjustment, colour style, watermark) and encodes the result as a JPEG with
// the quality and DPI of the settings, marked when the file sign is on. kOk; kInvalidArgument
// when the custom crop rectangle lies wholly outside the frame; kFailed when the watermark
// cannot be drawn or the encoder fails; kFileError when the file sign's key is not at hand.
int renderCapture(const Frame& frame, const CaptureSettings& settings, std::vector<uint8_t>& jpeg);

// A book spread: the frame (cropped as renderCapture crops it) is cut down the middle into the
// left and the right page, each finished like a capture. With `removeFingers`, skin-coloured
// pixels along the outer edges of the pages are painted over with white.
int renderBookPages(const Frame& frame, const CaptureSettings& settings, bool removeFingers,
                    std::vector<uint8_t>& leftPage, std::vector<uint8_t>& rightPage);

// Encodes a whole frame as a JPEG (for recordings). False when the encoder fails.
bool encodeFrame(const Frame& frame, int quality, std::vector<uint8_t>& jpeg);

}  // namespace pictavo
