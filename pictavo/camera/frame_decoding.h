// Motion-JPEG frames to pixels. A camera that sends JPEG frames keeps each one compressed as it
// came; it is decoded at the preview's scale for the live preview (libjpeg-turbo's scaled
// decode, a fraction of the cost) and at full size only when a capture, a recording or a face
// match needs every pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pictavo/camera/camera.h"

namespace pictavo {

// The preview width a page most often shows, which the live preview is decoded for unless the
// configuration says otherwise ("cameras": {"previewWidth": ...}).
inline constexpr int kDefaultPreviewWidth = 640;

// Decodes `jpeg` into `out` (B,G,R, bottom row first, its pixel buffer reused) at
// 1/`scaleDenominator` of its size (1, 2, 4 or 8), leaving out.jpeg alone. `fast`: a slightly
// less exact decode, good enough for a preview. False for a frame that cannot be decoded.
bool decodeFrame(const std::vector<uint8_t>& jpeg, int scaleDenominator, bool fast, Frame& out);

// The scale (1, 2, 4 or 8) at which preview frames of `width` x `height` are decoded: the
// largest that still gives exactly the picture the service's preview makes at `previewWidth`.
// The service shrinks a frame by a whole-number step, to the largest width that divides the
// frame's and is not above the page's; decoding at 1/k, where k divides both sides and that
// step, gives the same size (and a smoother picture, each pixel the mean of its k x k block
// rather than one of them). 1 for `previewWidth` 0 (full frames wanted).
int previewScale(int width, int height, int previewWidth);

}  // namespace pictavo
