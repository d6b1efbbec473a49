// Conversion of recorded V4L2 frames (YUYV and Motion-JPEG, made here with known colours) to
// the bottom-up B,G,R layout of the capture interface.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include "camera_test_support.h"
#include "files/jpeg_codec.h"
#include "pictavo/camera/v4l2_frame_converter.h"
#include "v4l2_fake_device.h"

namespace {

using pictavo::Frame;
using pictavo::V4l2FrameConverter;
using pictavo_test::yuyvFrame;

// Y, U, V of pure colours, full range (BT.601 as JPEG uses it): libv4lconvert reads YUYV so.
constexpr uint8_t kRedYuv[3] = {76, 85, 255};
constexpr uint8_t kBlueYuv[3] = {29, 255, 107};
constexpr uint8_t kWhiteYuv[3] = {255, 128, 128};

// B, G, R of pixel (x, y) counted from the top.
struct Bgr {
    int b, g, r;
};
Bgr at(const Frame& frame, int x, int y) {
    const uint8_t* p = frame.row(y) + 3 * x;
    return {p[0], p[1], p[2]};
}
void expectNear(Bgr actual, Bgr wanted, int tolerance = 12) {
    EXPECT_NEAR(actual.b, wanted.b, tolerance);
    EXPECT_NEAR(actual.g, wanted.g, tolerance);
    EXPECT_NEAR(actual.r, wanted.r, tolerance);
}

// A 64 x 48 picture, red above and blue below, as R,G,B rows top first.
std::vector<uint8_t> redOverBlueRgb(int width, int height) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool top = y < height / 2;
            rgb.push_back(top ? 255 : 0);
            rgb.push_back(0);
            rgb.push_back(top ? 0 : 255);
        }
    return rgb;
}

std::vector<uint8_t> mjpegFrame(int width, int height) {
    const std::vector<uint8_t> rgb = redOverBlueRgb(width, height);
    lenvaro::jpeg::EncodeOptions options;
    options.quality = 95;
    std::vector<uint8_t> jpeg;
    EXPECT_TRUE(lenvaro::jpeg::encode(rgb.data(), width, height, 3,
                                      static_cast<size_t>(width) * 3, options, jpeg));
    return jpeg;
}

// UVC cameras send Motion-JPEG frames without Huffman tables (DHT), relying on the standard
// ones; this removes them from an ordinary JPEG the way such a camera leaves them out.
std::vector<uint8_t> withoutHuffmanTables(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const uint8_t marker = jpeg[at + 1];
        const size_t length = static_cast<size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (marker == 0xDA) break;  // start of scan: the rest is copied as it is
        if (marker != 0xC4) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + 2 + length);
        at += 2 + length;
    }
    out.insert(out.end(), jpeg.begin() + at, jpeg.end());
    return out;
}

TEST(V4l2FrameConverter, YuyvBecomesBgrWithTheBottomRowFirst) {
    const int width = 32, height = 16;
    const std::vector<uint8_t> bytes = yuyvFrame(width, height, kRedYuv, kBlueYuv);
    V4l2FrameConverter converter;
    Frame frame;
    ASSERT_TRUE(converter.convert(V4L2_PIX_FMT_YUYV, width, height, width * 2, bytes.data(),
                                  bytes.size(), frame));
    ASSERT_EQ(frame.width, width);
    ASSERT_EQ(frame.height, height);
    ASSERT_EQ(frame.pixels.size(), static_cast<size_t>(width * height * 3));
    expectNear(at(frame, 0, 0), {0, 0, 255});            // top: red
    expectNear(at(frame, width - 1, height - 1), {255, 0, 0});  // bottom: blue
    // In memory the bottom row comes first: the buffer starts with blue.
    expectNear({frame.pixels[0], frame.pixels[1], frame.pixels[2]}, {255, 0, 0});
}

TEST(V4l2FrameConverter, YuyvWhiteAndPaddedRows) {
    // Rows padded to 80 bytes, as some drivers deliver them: the padding is not picture.
    const int width = 32, height = 8, stride = 80;
    std::vector<uint8_t> bytes(static_cast<size_t>(stride) * height, 0);
    const std::vector<uint8_t> row = yuyvFrame(width, 2, kWhiteYuv, kWhiteYuv);
    for (int y = 0; y < height; ++y)
        std::copy(row.begin(), row.begin() + width * 2, bytes.begin() + y * stride);
    V4l2FrameConverter converter;
    Frame frame;
    ASSERT_TRUE(converter.convert(V4L2_PIX_FMT_YUYV, width, height, stride, bytes.data(),
                                  bytes.size(), frame));
    for (int y : {0, height - 1})
        for (int x : {0, width - 1}) expectNear(at(frame, x, y), {255, 255, 255}, 4);
}

TEST(V4l2FrameConverter, YuvIsReadInTheRangeAndMatrixTheDriverStates) {
    // 75% red over black as drivers send them by default (limited range): red (191, 0, 0) is
    // Y 65, U 100, V 212 in BT.601 and Y 51, U 109, V 212 in BT.709; black is Y 16 in both.
    struct Case {
        uint32_t format;
        pictavo::YuvEncoding encoding;
        uint8_t red[3];
    } const cases[] = {
        {V4L2_PIX_FMT_YUYV, {true, pictavo::YuvMatrix::kBt601}, {65, 100, 212}},
        {V4L2_PIX_FMT_NV12, {true, pictavo::YuvMatrix::kBt601}, {65, 100, 212}},
        {V4L2_PIX_FMT_UYVY, {true, pictavo::YuvMatrix::kBt709}, {51, 109, 212}},
        {V4L2_PIX_FMT_YVU420, {true, pictavo::YuvMatrix::kBt709}, {51, 109, 212}},
    };
    const uint8_t black[3] = {16, 128, 128};
    const int width = 32, height = 16;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        const std::vector<uint8_t> bytes = pictavo_test::yuvFrame(c.format, width, height, c.red, black);
        V4l2FrameConverter converter;
        Frame frame;
        ASSERT_TRUE(converter.convert(c.format, width, height, 0, bytes.data(), bytes.size(), frame,
                                      c.encoding));
        expectNear(at(frame, 5, 2), {0, 0, 191}, 2);
        expectNear(at(frame, 5, height - 2), {0, 0, 0}, 0);
        // One byte short of a whole frame is refused, never read past.
        EXPECT_FALSE(converter.convert(c.format, width, height, 0, bytes.data(), bytes.size() - 1,
                                       frame, c.encoding));
    }

    // What V4L2 leaves unsaid: Y'CbCr is limited range BT.601, or BT.709 in a Rec. 709 colour
    // space; the JPEG colour space is full range.
    v4l2_pix_format format{};
    format.colorspace = V4L2_COLORSPACE_SRGB;
    EXPECT_TRUE(pictavo::yuvEncodingOf(format).limitedRange);
    EXPECT_EQ(pictavo::yuvEncodingOf(format).matrix, pictavo::YuvMatrix::kBt601);
    format.colorspace = V4L2_COLORSPACE_REC709;
    EXPECT_EQ(pictavo::yuvEncodingOf(format).matrix, pictavo::YuvMatrix::kBt709);
    format.colorspace = V4L2_COLORSPACE_JPEG;
    EXPECT_FALSE(pictavo::yuvEncodingOf(format).limitedRange);
    format.quantization = V4L2_QUANTIZATION_LIM_RANGE;
    EXPECT_TRUE(pictavo::yuvEncodingOf(format).limitedRange);
}

TEST(V4l2FrameConverter, MotionJpegWithAndWithoutHuffmanTables) {
    const int width = 64, height = 48;
    const std::vector<uint8_t> jpeg = mjpegFrame(width, height);
    const std::vector<uint8_t> bare = withoutHuffmanTables(jpeg);
    ASSERT_LT(bare.size(), jpeg.size());
    for (const std::vector<uint8_t>* bytes : {&jpeg, &bare}) {
        V4l2FrameConverter converter;
        Frame frame;
        ASSERT_TRUE(converter.convert(V4L2_PIX_FMT_MJPEG, width, height, 0, bytes->data(),
                                      bytes->size(), frame));
        ASSERT_EQ(frame.width, width);
        ASSERT_EQ(frame.height, height);
        expectNear(at(frame, 5, 5), {0, 0, 255}, 20);
        expectNear(at(frame, 5, height - 5), {255, 0, 0}, 20);
    }
}

TEST(V4l2FrameConverter, DamagedOrShortFramesAreRefused) {
    V4l2FrameConverter converter;
    Frame frame;
    const std::vector<uint8_t> yuyv = yuyvFrame(32, 16, kRedYuv, kBlueYuv);
    // Half a frame (a transfer cut short when the cable came out).
    EXPECT_FALSE(converter.convert(V4L2_PIX_FMT_YUYV, 32, 16, 64, yuyv.data(), yuyv.size() / 2,
                                   frame));
    const std::vector<uint8_t> noise(500, 0x5A);
    EXPECT_FALSE(converter.convert(V4L2_PIX_FMT_MJPEG, 32, 16, 0, noise.data(), noise.size(), frame));
    std::vector<uint8_t> cut = mjpegFrame(64, 48);
    cut.resize(cut.size() / 3);
    Frame partial;
    // libjpeg pads a truncated scan; what matters is that nothing crashes and a frame that is
    // returned has the size the header promises.
    if (converter.convert(V4L2_PIX_FMT_MJPEG, 64, 48, 0, cut.data(), cut.size(), partial)) {
        EXPECT_EQ(partial.pixels.size(), static_cast<size_t>(64 * 48 * 3));
    }
    EXPECT_FALSE(converter.convert(V4L2_PIX_FMT_H264, 32, 16, 0, yuyv.data(), yuyv.size(), frame));
    EXPECT_FALSE(converter.convert(V4L2_PIX_FMT_YUYV, 32, 16, 64, nullptr, 0, frame));
}

}  // namespace
