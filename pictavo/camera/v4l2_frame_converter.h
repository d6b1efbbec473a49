// Turns the bytes of one V4L2 frame into a Frame: JPEG frames are kept compressed as they came
// (decoded later, at the size whoever needs them wants: frame_decoding.h), the uncompressed
// formats are converted to the B,G,R bottom-up layout every camera delivers with OpenCV, or, for
// Y'CbCr in another range or matrix than BT.601 limited range, with v4l2_yuv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "pictavo/camera/v4l2_yuv.h"

#include "pictavo/camera/camera.h"

namespace pictavo {

// Not thread-safe; one per capture thread.
class V4l2FrameConverter {
  public:
    // `bytes` holds one frame of `pixelFormat` (V4L2_PIX_FMT_...) as the driver filled it:
    // `width` x `height` pixels, uncompressed rows `bytesPerLine` apart (0: packed; for the
    // planar formats the luma plane's; chroma rows are half as long); Y'CbCr read with
    // `encoding` (the range and matrix the driver stated). On success `frame` holds the picture,
    // its buffers reused when large enough: for a JPEG frame only its bytes
    // (Frame::compressed()) and the size its header gives. False for a frame that is short,
    // damaged or of a format that cannot be converted; `frame` may then hold anything.
    bool convert(uint32_t pixelFormat, int width, int height, uint32_t bytesPerLine,
                 const uint8_t* bytes, size_t size, Frame& frame,
                 const YuvEncoding& encoding = YuvEncoding());

  private:
    cv::Mat topDown_;              // the converted picture before it is turned bottom-up
    std::vector<uint8_t> packed_;  // planar frames with padded rows, packed for OpenCV
};

}  // namespace pictavo
