// Conversion of V4L2 frames to bottom-up B,G,R.
#include "pictavo/camera/v4l2_frame_converter.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/imgproc/hal/hal.hpp>

#include "common/jpeg_codec.h"
#include "pictavo/camera/parallel_loop.h"
#include "pictavo/camera/v4l2_formats.h"

namespace pictavo {
namespace {

constexpr size_t kMaxPixels = 16384u * 16384u;

bool isJpeg(uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

// How a pixel format lies in memory and which OpenCV conversion reads it. The YUV formats are
// read as cameras send them: BT.601, luma 16..235 (V4L2's default quantisation for YUV).
struct Layout {
    enum Kind { kPacked, kTwoPlanes, kThreePlanes } kind;
    int bytesPerPixel;  // of the first (or only) plane's rows
    int code;           // cv::COLOR_... to B,G,R; -1: already B,G,R
    // Packed 4:2:2 only: where chroma and luma sit in each four-byte pair, as OpenCV's row
    // converter takes them (what cv::cvtColor passes it for `code`); -1 for other formats.
    int chromaOrder = -1, lumaFirst = -1;
};

bool layoutOf(uint32_t pixelFormat, Layout& layout) {
    switch (pixelFormat) {
        case V4L2_PIX_FMT_YUYV: layout = {Layout::kPacked, 2, cv::COLOR_YUV2BGR_YUYV, 0, 0}; return true;
        case V4L2_PIX_FMT_YVYU: layout = {Layout::kPacked, 2, cv::COLOR_YUV2BGR_YVYU, 1, 0}; return true;
        case V4L2_PIX_FMT_UYVY: layout = {Layout::kPacked, 2, cv::COLOR_YUV2BGR_UYVY, 0, 1}; return true;
        case V4L2_PIX_FMT_NV12: layout = {Layout::kTwoPlanes, 1, cv::COLOR_YUV2BGR_NV12}; return true;
        case V4L2_PIX_FMT_NV21: layout = {Layout::kTwoPlanes, 1, cv::COLOR_YUV2BGR_NV21}; return true;
        case V4L2_PIX_FMT_YUV420: layout = {Layout::kThreePlanes, 1, cv::COLOR_YUV2BGR_I420}; return true;
        case V4L2_PIX_FMT_YVU420: layout = {Layout::kThreePlanes, 1, cv::COLOR_YUV2BGR_YV12}; return true;
        case V4L2_PIX_FMT_RGB24: layout = {Layout::kPacked, 3, cv::COLOR_RGB2BGR}; return true;
        case V4L2_PIX_FMT_BGR24: layout = {Layout::kPacked, 3, -1}; return true;
        // Little-endian 16-bit words, red in the high bits: what OpenCV calls BGR565.
        case V4L2_PIX_FMT_RGB565: layout = {Layout::kPacked, 2, cv::COLOR_BGR5652BGR}; return true;
        case V4L2_PIX_FMT_GREY: layout = {Layout::kPacked, 1, cv::COLOR_GRAY2BGR}; return true;
        default: return false;
    }
}

// A packed frame converted straight into the frame's own bottom-up rows, row by row (a picture
// top row first and then turned over would cost a second pass over every pixel). The rows are
// shared out among OpenCV's threads as its own conversion does.
bool packedToBottomUpBgr(const Layout& layout, int width, int height, size_t stride,
                         const uint8_t* bytes, size_t size, Frame& frame) {
    const auto w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    if (size < stride * (h - 1) + w * static_cast<size_t>(layout.bytesPerPixel)) return false;
    if (layout.chromaOrder >= 0 && width % 2 != 0) return false;  // pixels come in pairs
    frame.pixels.resize(w * 3 * h);
    const int type = layout.bytesPerPixel == 1 ? CV_8UC1 : layout.bytesPerPixel == 2 ? CV_8UC2 : CV_8UC3;
    uint8_t* pixels = frame.pixels.data();
    parallelFor(cv::Range(0, height), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const uint8_t* in = bytes + stride * static_cast<size_t>(y);
            uint8_t* out = pixels + w * 3 * (h - 1 - static_cast<size_t>(y));
            if (layout.chromaOrder >= 0) {
                cv::hal::cvtOnePlaneYUVtoBGR(in, stride, out, w * 3, width, 1, 3, false,
                                             layout.chromaOrder, layout.lumaFirst);
            } else if (layout.code < 0) {
                std::memcpy(out, in, w * 3);
            } else {
                const cv::Mat source(1, width, type, const_cast<uint8_t*>(in));
                cv::Mat target(1, width, CV_8UC3, out);
                cv::cvtColor(source, target, layout.code);
            }
        }
    }, std::max(1.0, static_cast<double>(h) / 64));
    return true;
}

// The frame's pixels converted, top row first, into `out`.
bool toBgr(const Layout& layout, int width, int height, size_t stride, const uint8_t* bytes,
           size_t size, cv::Mat& out, std::vector<uint8_t>& packed) {
    const auto w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    uint8_t* data = const_cast<uint8_t*>(bytes);  // OpenCV only reads it
    switch (layout.kind) {
        case Layout::kPacked:
            break;  // packedToBottomUpBgr
        case Layout::kTwoPlanes: {
            // Luma rows, then rows of interleaved chroma for two luma rows each, `stride` apart.
            if (width % 2 != 0 || height % 2 != 0 || size < stride * (h + h / 2 - 1) + w) return false;
            const cv::Mat luma(height, width, CV_8UC1, data, stride);
            const cv::Mat chroma(height / 2, width / 2, CV_8UC2, data + stride * h, stride);
            cv::cvtColorTwoPlane(luma, chroma, out, layout.code);
            return true;
        }
        case Layout::kThreePlanes: {
            // Luma, then the two chroma planes at half the size, rows half as far apart. OpenCV
            // reads the three planes packed one after the other: padded rows are packed first.
            const size_t chromaStride = stride / 2;
            if (width % 2 != 0 || height % 2 != 0 ||
                size < stride * h + 2 * chromaStride * (h / 2) - (chromaStride - w / 2))
                return false;
            const uint8_t* source = bytes;
            if (stride != w) {
                packed.resize(w * h * 3 / 2);
                uint8_t* to = packed.data();
                for (size_t y = 0; y < h; ++y, to += w) std::memcpy(to, bytes + y * stride, w);
                const uint8_t* planes = bytes + stride * h;
                for (size_t y = 0; y < h; ++y, to += w / 2)  // both chroma planes, h/2 rows each
                    std::memcpy(to, planes + y * chromaStride, w / 2);
                source = packed.data();
            }
            const cv::Mat in(height * 3 / 2, width, CV_8UC1, const_cast<uint8_t*>(source));
            cv::cvtColor(in, out, layout.code);
            return true;
        }
    }
    return false;
}

}  // namespace

bool V4l2FrameConverter::convert(uint32_t pixelFormat, int width, int height,
                                 uint32_t bytesPerLine, const uint8_t* bytes, size_t size,
                                 Frame& frame, const YuvEncoding& encoding) {
    if (bytes == nullptr || size == 0) return false;
    if (isJpeg(pixelFormat)) {
        // Only the header is read now; the pixels are decoded when something needs them.
        lenvaro::jpeg::Info info;
        if (!lenvaro::jpeg::readInfo(bytes, size, info) || info.components != 3 ||
            info.width <= 0 || info.height <= 0)
            return false;
        frame.width = info.width;
        frame.height = info.height;
        frame.pixels.clear();
        frame.jpeg.assign(bytes, bytes + size);
        return true;
    }
    Layout layout{};
    if (!convertibleFormat(pixelFormat) || !layoutOf(pixelFormat, layout) || width <= 0 ||
        height <= 0 || static_cast<size_t>(width) * static_cast<size_t>(height) > kMaxPixels)
        return false;
    // OpenCV reads Y'CbCr as BT.601 with limited-range luma, V4L2's default and what nearly every
    // camera sends; a driver that states another range or matrix is read by our own converter,
    // so blacks stay black and colours keep their hue. Grey is read by it whenever luma is limited.
    if (isYuvFormat(pixelFormat) &&
        (!encoding.limitedRange || encoding.matrix != YuvMatrix::kBt601 || pixelFormat == V4L2_PIX_FMT_GREY))
        return convertYuvFrame(pixelFormat, width, height, bytesPerLine, bytes, size, encoding, frame);
    const size_t packedRow = static_cast<size_t>(width) * static_cast<size_t>(layout.bytesPerPixel);
    const size_t stride = bytesPerLine == 0 ? packedRow : bytesPerLine;
    if (stride < packedRow) return false;

    // Any OpenCV failure (out of memory) is a frame that cannot be converted.
    try {
        if (layout.kind == Layout::kPacked) {
            if (!packedToBottomUpBgr(layout, width, height, stride, bytes, size, frame)) return false;
            frame.width = width;
            frame.height = height;
            frame.jpeg.clear();
            return true;
        }
        if (!toBgr(layout, width, height, stride, bytes, size, topDown_, packed_)) return false;
        frame.width = width;
        frame.height = height;
        frame.jpeg.clear();
        frame.pixels.resize(frame.rowBytes() * static_cast<size_t>(height));
        cv::Mat bottomUp(height, width, CV_8UC3, frame.pixels.data());
        cv::flip(topDown_, bottomUp, 0);
    } catch (const cv::Exception&) {
        return false;
    }
    return true;
}

}  // namespace pictavo
