// Turns the bytes of one V4L2 frame into the B,G,R bottom-up layout every camera delivers:
// JPEG frames through the shared JPEG codec (libjpeg-turbo), Y'CbCr and grey frames with the
// range and matrix the driver states (v4l2_yuv), the RGB formats through libv4lconvert.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pictavo/camera/camera.h"
#include "pictavo/camera/v4l2_yuv.h"

struct v4lconvert_data;

namespace pictavo {

// One per capture thread (libv4lconvert keeps state between frames); not thread-safe.
class V4l2FrameConverter {
  public:
    V4l2FrameConverter();
    ~V4l2FrameConverter();
    V4l2FrameConverter(const V4l2FrameConverter&) = delete;
    V4l2FrameConverter& operator=(const V4l2FrameConverter&) = delete;

    // `bytes` holds one frame of `pixelFormat` (V4L2_PIX_FMT_...) as the driver filled it:
    // `width` x `height` pixels, uncompressed rows `bytesPerLine` apart; Y'CbCr read with
    // `encoding` (the range and matrix the driver stated). On success `frame` holds the picture
    // (its pixel buffer reused when large enough). False for a frame that is short, damaged or
    // of a format that cannot be converted; `frame` may then hold anything.
    bool convert(uint32_t pixelFormat, int width, int height, uint32_t bytesPerLine,
                 const uint8_t* bytes, size_t size, Frame& frame,
                 const YuvEncoding& encoding = YuvEncoding());

  private:
    bool convertJpeg(const uint8_t* bytes, size_t size, Frame& frame);
    bool convertRaw(uint32_t pixelFormat, int width, int height, uint32_t bytesPerLine,
                    const uint8_t* bytes, size_t size, Frame& frame);

    v4lconvert_data* converter_ = nullptr;  // null when libv4lconvert could not start
    std::vector<uint8_t> topDown_;          // libv4lconvert's output, top row first
};

}  // namespace pictavo
