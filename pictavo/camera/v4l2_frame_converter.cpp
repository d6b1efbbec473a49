// Conversion of V4L2 frames to bottom-up B,G,R.
#include "pictavo/camera/v4l2_frame_converter.h"

#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

#include "files/jpeg_codec.h"
#include "pictavo/camera/v4l2_formats.h"

namespace pictavo {
namespace {

// libv4lconvert asks the device about itself (to look up quirks and software controls). Our
// converter only converts the buffers it is given, so it is detached from any device: it learns
// it is a plain capture device with no controls, and no file descriptor is touched.
int refuseIoctl(void*, int, unsigned long request, void* argument) {
    if (request == VIDIOC_QUERYCAP) {
        auto* capability = static_cast<v4l2_capability*>(argument);
        *capability = v4l2_capability{};
        std::memcpy(capability->driver, "pictavo", 8);
        std::memcpy(capability->card, "converter", 10);
        capability->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        return 0;
    }
    errno = request == VIDIOC_QUERYCTRL || request == VIDIOC_ENUM_FMT ? EINVAL : ENOTTY;
    return -1;
}
ssize_t refuseTransfer(void*, int, void*, size_t) {
    errno = ENOTTY;
    return -1;
}
ssize_t refuseWrite(void*, int, const void*, size_t) {
    errno = ENOTTY;
    return -1;
}

const libv4l_dev_ops kDetachedOps = {nullptr,        nullptr,     refuseIoctl, refuseTransfer,
                                     refuseWrite,    nullptr,     nullptr,     nullptr,
                                     nullptr,        nullptr,     nullptr,     nullptr};

constexpr size_t kMaxPixels = 16384u * 16384u;

bool isJpeg(uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

}  // namespace

V4l2FrameConverter::V4l2FrameConverter()
    : converter_(v4lconvert_create_with_dev_ops(-1, nullptr, &kDetachedOps)) {}

V4l2FrameConverter::~V4l2FrameConverter() {
    if (converter_ != nullptr) v4lconvert_destroy(converter_);
}

bool V4l2FrameConverter::convert(uint32_t pixelFormat, int width, int height,
                                 uint32_t bytesPerLine, const uint8_t* bytes, size_t size,
                                 Frame& frame, const YuvEncoding& encoding) {
    if (bytes == nullptr || size == 0) return false;
    if (isJpeg(pixelFormat)) return convertJpeg(bytes, size, frame);
    if (!convertibleFormat(pixelFormat) || width <= 0 || height <= 0 ||
        static_cast<size_t>(width) * static_cast<size_t>(height) > kMaxPixels)
        return false;
    // libv4lconvert reads every Y'CbCr frame as full-range luma, with chroma factors that differ
    // between its packed and planar paths: a limited-range camera would show grey blacks.
    if (isYuvFormat(pixelFormat))
        return convertYuvFrame(pixelFormat, width, height, bytesPerLine, bytes, size, encoding, frame);
    return convertRaw(pixelFormat, width, height, bytesPerLine, bytes, size, frame);
}

bool V4l2FrameConverter::convertJpeg(const uint8_t* bytes, size_t size, Frame& frame) {
    lenvaro::jpeg::Image image;
    if (!lenvaro::jpeg::decode(bytes, size, image) || image.components != 3) return false;
    // Kept for captures that change no pixel: they save the camera's own JPEG.
    frame.jpeg.assign(bytes, bytes + size);
    frame.width = image.width;
    frame.height = image.height;
    frame.pixels.resize(frame.rowBytes() * static_cast<size_t>(image.height));
    // The codec gives R,G,B rows top first; frames hold B,G,R rows bottom first.
    for (int y = 0; y < image.height; ++y) {
        const uint8_t* in = image.pixels.data() + static_cast<size_t>(y) * frame.rowBytes();
        uint8_t* out = frame.row(y);
        for (int x = 0; x < image.width; ++x) {
            out[3 * x] = in[3 * x + 2];
            out[3 * x + 1] = in[3 * x + 1];
            out[3 * x + 2] = in[3 * x];
        }
    }
    return true;
}

bool V4l2FrameConverter::convertRaw(uint32_t pixelFormat, int width, int height,
                                    uint32_t bytesPerLine, const uint8_t* bytes, size_t size,
                                    Frame& frame) {
    if (converter_ == nullptr) return false;
    v4l2_format source{};
    source.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    source.fmt.pix.width = static_cast<uint32_t>(width);
    source.fmt.pix.height = static_cast<uint32_t>(height);
    source.fmt.pix.pixelformat = pixelFormat;
    source.fmt.pix.field = V4L2_FIELD_NONE;
    source.fmt.pix.bytesperline = bytesPerLine;
    source.fmt.pix.sizeimage = static_cast<uint32_t>(size);

    const size_t rowBytes = static_cast<size_t>(width) * 3;
    const size_t total = rowBytes * static_cast<size_t>(height);
    v4l2_format target = source;
    target.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    target.fmt.pix.bytesperline = static_cast<uint32_t>(rowBytes);
    target.fmt.pix.sizeimage = static_cast<uint32_t>(total);

    topDown_.resize(total);
    // libv4lconvert takes non-const pointers but only reads the source.
    const int written = v4lconvert_convert(converter_, &source, &target,
                                           const_cast<unsigned char*>(bytes),
                                           static_cast<int>(size), topDown_.data(),
                                           static_cast<int>(total));
    if (written < 0 || static_cast<size_t>(written) < total) return false;

    frame.width = width;
    frame.height = height;
    frame.jpeg.clear();
    frame.pixels.resize(total);
    for (int y = 0; y < height; ++y)
        std::memcpy(frame.row(y), topDown_.data() + static_cast<size_t>(y) * rowBytes, rowBytes);
    return true;
}

}  // namespace pictavo
