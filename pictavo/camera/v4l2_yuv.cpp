// Y'CbCr to B,G,R in fixed point.
#include "pictavo/camera/v4l2_yuv.h"

#include <algorithm>

namespace pictavo {
namespace {

// The factors of one encoding, times 2^16: R = Y' + rV*Cr; G = Y' - gU*Cb - gV*Cr;
// B = Y' + bU*Cb, with Y' = (Y - yOffset) * yScale and Cb, Cr centred on 128.
struct Factors {
    int yOffset, yScale, rV, gU, gV, bU;

    explicit Factors(const YuvEncoding& encoding) {
        double kr = 0.299, kb = 0.114;  // BT.601
        if (encoding.matrix == YuvMatrix::kBt709) kr = 0.2126, kb = 0.0722;
        if (encoding.matrix == YuvMatrix::kBt2020) kr = 0.2627, kb = 0.0593;
        const double kg = 1.0 - kr - kb;
        const double luma = encoding.limitedRange ? 255.0 / 219.0 : 1.0;
        const double chroma = encoding.limitedRange ? 255.0 / 224.0 : 1.0;
        const auto fixed = [](double v) { return static_cast<int>(v * 65536.0 + 0.5); };
        yOffset = encoding.limitedRange ? 16 : 0;
        yScale = fixed(luma);
        rV = fixed(2.0 * (1.0 - kr) * chroma);
        bU = fixed(2.0 * (1.0 - kb) * chroma);
        gU = fixed(2.0 * kb * (1.0 - kb) / kg * chroma);
        gV = fixed(2.0 * kr * (1.0 - kr) / kg * chroma);
    }

    static uint8_t clamp(int v) {
        v = (v + 32768) >> 16;
        return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    // Writes B, G, R.
    void pixel(int y, int cb, int cr, uint8_t* out) const {
        const int luma = (y - yOffset) * yScale;
        cb -= 128;
        cr -= 128;
        out[0] = clamp(luma + bU * cb);
        out[1] = clamp(luma - gU * cb - gV * cr);
        out[2] = clamp(luma + rV * cr);
    }
};

enum class Layout { kPacked, kSemiPlanar, kPlanar, kGrey };

struct FormatShape {
    Layout layout;
    int yAt, uAt, vAt;  // packed: byte offsets in a 4-byte pair; semi-planar: u, v order
};

bool shapeOf(uint32_t pixelFormat, FormatShape& shape) {
    switch (pixelFormat) {
        case V4L2_PIX_FMT_YUYV: shape = {Layout::kPacked, 0, 1, 3}; return true;
        case V4L2_PIX_FMT_YVYU: shape = {Layout::kPacked, 0, 3, 1}; return true;
        case V4L2_PIX_FMT_UYVY: shape = {Layout::kPacked, 1, 0, 2}; return true;
        case V4L2_PIX_FMT_NV12: shape = {Layout::kSemiPlanar, 0, 0, 1}; return true;
        case V4L2_PIX_FMT_NV21: shape = {Layout::kSemiPlanar, 0, 1, 0}; return true;
        case V4L2_PIX_FMT_YUV420: shape = {Layout::kPlanar, 0, 0, 1}; return true;
        case V4L2_PIX_FMT_YVU420: shape = {Layout::kPlanar, 0, 1, 0}; return true;
        case V4L2_PIX_FMT_GREY: shape = {Layout::kGrey, 0, 0, 0}; return true;
        default: return false;
    }
}

}  // namespace

YuvEncoding yuvEncodingOf(const v4l2_pix_format& format) {
    YuvEncoding encoding;
    const uint32_t quantization = format.quantization;
    encoding.limitedRange = quantization == V4L2_QUANTIZATION_LIM_RANGE ||
                            (quantization == V4L2_QUANTIZATION_DEFAULT &&
                             format.colorspace != V4L2_COLORSPACE_JPEG);
    uint32_t matrix = format.ycbcr_enc;
    if (matrix == V4L2_YCBCR_ENC_DEFAULT) {
        if (format.colorspace == V4L2_COLORSPACE_REC709 || format.colorspace == V4L2_COLORSPACE_DCI_P3)
            matrix = V4L2_YCBCR_ENC_709;
        if (format.colorspace == V4L2_COLORSPACE_BT2020) matrix = V4L2_YCBCR_ENC_BT2020;
    }
    if (matrix == V4L2_YCBCR_ENC_709 || matrix == V4L2_YCBCR_ENC_XV709) encoding.matrix = YuvMatrix::kBt709;
    if (matrix == V4L2_YCBCR_ENC_BT2020 || matrix == V4L2_YCBCR_ENC_BT2020_CONST_LUM)
        encoding.matrix = YuvMatrix::kBt2020;
    return encoding;
}

bool isYuvFormat(uint32_t pixelFormat) {
    FormatShape shape{};
    return shapeOf(pixelFormat, shape);
}

bool convertYuvFrame(uint32_t pixelFormat, int width, int height, uint32_t bytesPerLine,
                     const uint8_t* bytes, size_t size, const YuvEncoding& encoding, Frame& frame) {
    FormatShape shape{};
    if (!shapeOf(pixelFormat, shape) || width <= 0 || height <= 0 || bytes == nullptr) return false;
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    const size_t chromaRows = (h + 1) / 2;
    size_t stride = bytesPerLine;
    size_t needed = 0;
    switch (shape.layout) {
        case Layout::kPacked:
            stride = std::max(stride, (w + 1) / 2 * 4);
            needed = stride * h;
            break;
        case Layout::kSemiPlanar:
            stride = std::max(stride, (w + 1) / 2 * 2);
            needed = stride * (h + chromaRows);
            break;
        case Layout::kPlanar:
            stride = std::max(stride, (w + 1) / 2 * 2);
            needed = stride * h + 2 * (stride / 2) * chromaRows;
            break;
        case Layout::kGrey:
            stride = std::max(stride, w);
            needed = stride * h;
            break;
    }
    if (size < needed) return false;

    const Factors factors(encoding);
    frame.width = width;
    frame.height = height;
    frame.jpeg.clear();
    frame.pixels.resize(frame.rowBytes() * h);
    const uint8_t* chromaPlane = bytes + stride * h;
    const size_t planeStride = stride / 2;
    // One loop per layout, so that the per-pixel work is the arithmetic alone.
    for (size_t y = 0; y < h; ++y) {
        uint8_t* out = frame.row(static_cast<int>(y));
        const uint8_t* row = bytes + stride * y;
        switch (shape.layout) {
            case Layout::kPacked: {
                // Two pixels share one chroma pair.
                const int y0 = shape.yAt, y1 = shape.yAt + 2, u = shape.uAt, v = shape.vAt;
                for (size_t x = 0; x < w; x += 2, out += 6) {
                    const uint8_t* pair = row + x * 2;
                    factors.pixel(pair[y0], pair[u], pair[v], out);
                    if (x + 1 < w) factors.pixel(pair[y1], pair[u], pair[v], out + 3);
                }
                break;
            }
            case Layout::kSemiPlanar: {
                const uint8_t* chroma = chromaPlane + stride * (y / 2);
                const int u = shape.uAt, v = shape.vAt;
                for (size_t x = 0; x < w; x += 2, out += 6) {
                    const uint8_t* pair = chroma + x;
                    factors.pixel(row[x], pair[u], pair[v], out);
                    if (x + 1 < w) factors.pixel(row[x + 1], pair[u], pair[v], out + 3);
                }
                break;
            }
            case Layout::kPlanar: {
                const uint8_t* first = chromaPlane + planeStride * (y / 2);
                const uint8_t* second = first + planeStride * chromaRows;
                const uint8_t* cb = shape.uAt == 0 ? first : second;
                const uint8_t* cr = shape.uAt == 0 ? second : first;
                for (size_t x = 0; x < w; ++x, out += 3) factors.pixel(row[x], cb[x / 2], cr[x / 2], out);
                break;
            }
            case Layout::kGrey:
                for (size_t x = 0; x < w; ++x, out += 3) factors.pixel(row[x], 128, 128, out);
                break;
        }
    }
    return true;
}

}  // namespace pictavo
