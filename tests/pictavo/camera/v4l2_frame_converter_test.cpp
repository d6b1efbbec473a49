// The frame path with known pixels: every uncompressed V4L2 format (with padded rows) to the
// bottom-up B,G,R layout of the capture interface, Motion-JPEG frames kept compressed, decoded
// at the preview's scale as a full decode shrunk would look, and the scale the preview takes.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <atomic>

#include <opencv2/imgproc.hpp>

#include "document_photos.h"
#include "common/jpeg_codec.h"
#include "pictavo/camera/camera_stream.h"
#include "pictavo/camera/frame_decoding.h"
#include "pictavo/status.h"
#include "pictavo/camera/v4l2_frame_converter.h"
#include "v4l2_fake_device.h"

namespace {

using pictavo::Frame;
using pictavo::V4l2FrameConverter;

// Y, Cb, Cr of pure red and blue as cameras send them (BT.601, luma 16..235).
constexpr uint8_t kRed[3] = {81, 90, 240};
constexpr uint8_t kBlue[3] = {41, 240, 110};

struct Bgr {
    int b, g, r;
};
Bgr at(const Frame& frame, int x, int y) {
    const uint8_t* p = frame.row(y) + 3 * x;
    return {p[0], p[1], p[2]};
}
void expectNear(Bgr actual, Bgr wanted, int tolerance) {
    EXPECT_NEAR(actual.b, wanted.b, tolerance);
    EXPECT_NEAR(actual.g, wanted.g, tolerance);
    EXPECT_NEAR(actual.r, wanted.r, tolerance);
}

// A frame of `format`, red above and blue below, with rows `padding` bytes longer than the
// pixels need (chroma rows of the planar formats padded by half as much) and the padding
// filled with junk, which must not show.
std::vector<uint8_t> redOverBlue(uint32_t format, int width, int height, int padding,
                                 uint32_t& stride) {
    const auto yuvAt = [&](int y) { return y < height / 2 ? kRed : kBlue; };
    const auto rgbAt = [&](int y) {
        return y < height / 2 ? std::array<uint8_t, 3>{255, 0, 0} : std::array<uint8_t, 3>{0, 0, 255};
    };
    std::vector<uint8_t> bytes;
    const auto pad = [&](int count) { bytes.insert(bytes.end(), static_cast<size_t>(count), 0xA5); };
    switch (format) {
        case V4L2_PIX_FMT_YUYV:
        case V4L2_PIX_FMT_YVYU:
        case V4L2_PIX_FMT_UYVY:
            stride = static_cast<uint32_t>(width * 2 + padding);
            for (int y = 0; y < height; ++y) {
                const uint8_t* c = yuvAt(y);
                for (int x = 0; x < width; x += 2) {
                    const uint8_t group[3][4] = {{c[0], c[1], c[0], c[2]},
                                                 {c[0], c[2], c[0], c[1]},
                                                 {c[1], c[0], c[2], c[0]}};
                    const int which = format == V4L2_PIX_FMT_YUYV ? 0 : format == V4L2_PIX_FMT_YVYU ? 1 : 2;
                    bytes.insert(bytes.end(), group[which], group[which] + 4);
                }
                pad(padding);
            }
            break;
        case V4L2_PIX_FMT_NV12:
        case V4L2_PIX_FMT_NV21:
            stride = static_cast<uint32_t>(width + padding);
            for (int y = 0; y < height; ++y) {
                bytes.insert(bytes.end(), static_cast<size_t>(width), yuvAt(y)[0]);
                pad(padding);
            }
            for (int y = 0; y < height / 2; ++y) {
                const uint8_t* c = yuvAt(2 * y);
                for (int x = 0; x < width / 2; ++x) {
                    bytes.push_back(format == V4L2_PIX_FMT_NV12 ? c[1] : c[2]);
                    bytes.push_back(format == V4L2_PIX_FMT_NV12 ? c[2] : c[1]);
                }
                pad(padding);
            }
            break;
        case V4L2_PIX_FMT_YUV420:
        case V4L2_PIX_FMT_YVU420:
            stride = static_cast<uint32_t>(width + padding);
            for (int y = 0; y < height; ++y) {
                bytes.insert(bytes.end(), static_cast<size_t>(width), yuvAt(y)[0]);
                pad(padding);
            }
            for (int plane : {1, 2}) {
                const int component = format == V4L2_PIX_FMT_YUV420 ? plane : 3 - plane;
                for (int y = 0; y < height / 2; ++y) {
                    bytes.insert(bytes.end(), static_cast<size_t>(width / 2), yuvAt(2 * y)[component]);
                    pad(padding / 2);
                }
            }
            break;
        case V4L2_PIX_FMT_RGB24:
        case V4L2_PIX_FMT_BGR24:
            stride = static_cast<uint32_t>(width * 3 + padding);
            for (int y = 0; y < height; ++y) {
                std::array<uint8_t, 3> c = rgbAt(y);
                if (format == V4L2_PIX_FMT_BGR24) std::swap(c[0], c[2]);
                for (int x = 0; x < width; ++x) bytes.insert(bytes.end(), c.begin(), c.end());
                pad(padding);
            }
            break;
        case V4L2_PIX_FMT_RGB565:
            stride = static_cast<uint32_t>(width * 2 + padding);
            for (int y = 0; y < height; ++y) {
                // Little-endian words, red in the high five bits.
                const uint16_t word = y < height / 2 ? 0xF800 : 0x001F;
                for (int x = 0; x < width; ++x) {
                    bytes.push_back(static_cast<uint8_t>(word & 0xFF));
                    bytes.push_back(static_cast<uint8_t>(word >> 8));
                }
                pad(padding);
            }
            break;
    }
    return bytes;
}

TEST(V4l2FrameConverter, EveryUncompressedFormatWithPaddedRowsBecomesBgrBottomUp) {
    const int width = 32, height = 16;
    for (uint32_t format :
         {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_YVYU, V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_NV12,
          V4L2_PIX_FMT_NV21, V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_YVU420, V4L2_PIX_FMT_RGB24,
          V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_RGB565}) {
        for (int padding : {0, 16}) {
            SCOPED_TRACE(std::string(reinterpret_cast<const char*>(&format), 4) + " padding " +
                         std::to_string(padding));
            uint32_t stride = 0;
            const std::vector<uint8_t> bytes = redOverBlue(format, width, height, padding, stride);
            V4l2FrameConverter converter;
            Frame frame;
            ASSERT_TRUE(converter.convert(format, width, height, stride, bytes.data(),
                                          bytes.size(), frame));
            ASSERT_EQ(frame.width, width);
            ASSERT_EQ(frame.height, height);
            ASSERT_EQ(frame.pixels.size(), static_cast<size_t>(width * height * 3));
            for (int x : {0, 1, width - 1}) {
                expectNear(at(frame, x, 0), {0, 0, 255}, 12);              // top: red
                expectNear(at(frame, x, height - 1), {255, 0, 0}, 12);     // bottom: blue
            }
            // In memory the bottom row comes first.
            expectNear({frame.pixels[0], frame.pixels[1], frame.pixels[2]}, {255, 0, 0}, 12);
        }
    }
    // Grey: the level in all three channels; limited-range grey (V4L2's default) stretched from
    // 16..235 to 0..255, full-range grey as it is.
    std::vector<uint8_t> grey(48 * 4, 0x11);
    for (int y = 0; y < 4; ++y) std::fill_n(grey.begin() + y * 48, 40, static_cast<uint8_t>(16 + 60 * y));
    V4l2FrameConverter converter;
    Frame frame;
    ASSERT_TRUE(converter.convert(V4L2_PIX_FMT_GREY, 40, 4, 48, grey.data(), grey.size(), frame,
                                  pictavo::YuvEncoding{false, pictavo::YuvMatrix::kBt601}));
    for (int y = 0; y < 4; ++y) expectNear(at(frame, 39, y), {16 + 60 * y, 16 + 60 * y, 16 + 60 * y}, 0);
    ASSERT_TRUE(converter.convert(V4L2_PIX_FMT_GREY, 40, 4, 48, grey.data(), grey.size(), frame));
    for (int y = 0; y < 4; ++y) {
        const int level = (60 * y * 255 + 109) / 219;
        expectNear(at(frame, 39, y), {level, level, level}, 1);
    }
}

// Every row lands where OpenCV's own conversion of the whole picture, turned over, puts it, to
// the last bit: no row lost, doubled or out of place, no chroma pair read the wrong way round.
TEST(V4l2FrameConverter, PackedFormatsMatchOpenCvsConversionRowForRow) {
    const int width = 64, height = 37;
    const struct {
        uint32_t format;
        int bytesPerPixel, code;
    } cases[] = {{V4L2_PIX_FMT_YUYV, 2, cv::COLOR_YUV2BGR_YUYV},
                 {V4L2_PIX_FMT_YVYU, 2, cv::COLOR_YUV2BGR_YVYU},
                 {V4L2_PIX_FMT_UYVY, 2, cv::COLOR_YUV2BGR_UYVY},
                 {V4L2_PIX_FMT_RGB24, 3, cv::COLOR_RGB2BGR},
                 {V4L2_PIX_FMT_BGR24, 3, -1},
                 {V4L2_PIX_FMT_RGB565, 2, cv::COLOR_BGR5652BGR}};
    cv::RNG random(17);
    for (const auto& c : cases) {
        for (int padding : {0, 12}) {
            SCOPED_TRACE(std::string(reinterpret_cast<const char*>(&c.format), 4) + " padding " +
                         std::to_string(padding));
            const int stride = width * c.bytesPerPixel + padding;
            std::vector<uint8_t> bytes(static_cast<size_t>(stride) * height);
            random.fill(cv::Mat(1, static_cast<int>(bytes.size()), CV_8U, bytes.data()),
                        cv::RNG::UNIFORM, 0, 256);
            const cv::Mat in(height, width, CV_8UC(c.bytesPerPixel), bytes.data(),
                             static_cast<size_t>(stride));
            cv::Mat topDown, wanted;
            if (c.code < 0)
                in.copyTo(topDown);
            else
                cv::cvtColor(in, topDown, c.code);
            cv::flip(topDown, wanted, 0);
            V4l2FrameConverter converter;
            Frame frame;
            frame.pixels.assign(3, 0);  // a buffer too small, to be grown
            ASSERT_TRUE(converter.convert(c.format, width, height, static_cast<uint32_t>(stride),
                                          bytes.data(), bytes.size(), frame));
            ASSERT_EQ(frame.pixels.size(), static_cast<size_t>(width * height * 3));
            const cv::Mat got(height, width, CV_8UC3, frame.pixels.data());
            EXPECT_EQ(cv::norm(got, wanted, cv::NORM_INF), 0);
        }
    }
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

TEST(V4l2FrameConverter, ShortDamagedOrUnknownFramesAreRefused) {
    V4l2FrameConverter converter;
    Frame frame;
    for (uint32_t format : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUV420}) {
        uint32_t stride = 0;
        const std::vector<uint8_t> bytes = redOverBlue(format, 32, 16, 8, stride);
        // Half a frame (a transfer cut short when the cable came out).
        EXPECT_FALSE(converter.convert(format, 32, 16, stride, bytes.data(), bytes.size() / 2, frame));
        // Rows said to be shorter than the pixels they hold.
        EXPECT_FALSE(converter.convert(format, 32, 16, 8, bytes.data(), bytes.size(), frame));
    }
    uint32_t stride = 0;
    std::vector<uint8_t> odd = redOverBlue(V4L2_PIX_FMT_NV12, 32, 16, 0, stride);
    EXPECT_FALSE(converter.convert(V4L2_PIX_FMT_NV12, 31, 15, 31, odd.data(), odd.size(), frame))
        << "4:2:0 needs even sides";
    const std::vector<uint8_t> noise(500, 0x5A);
    EXPECT_FALSE(converter.convert(V4L2_PIX_FMT_MJPEG, 32, 16, 0, noise.data(), noise.size(), frame));
    EXPECT_FALSE(converter.convert(V4L2_PIX_FMT_H264, 32, 16, 0, odd.data(), odd.size(), frame));
    EXPECT_FALSE(converter.convert(V4L2_PIX_FMT_YUYV, 32, 16, 64, nullptr, 0, frame));
}

// The document photo the frame path tests decode: a real picture, not a flat colour.
const pictavo_test::DocumentPhoto& photo() {
    static const pictavo_test::DocumentPhoto made = [] {
        pictavo_test::PhotoSpec spec = pictavo_test::singleDocumentPhotos({1296, 968})[1];
        return pictavo_test::makePhoto(spec);
    }();
    return made;
}

TEST(V4l2FrameConverter, MotionJpegIsKeptCompressedWithItsSize) {
    V4l2FrameConverter converter;
    Frame frame;
    frame.pixels.assign(10, 1);  // from an earlier frame
    ASSERT_TRUE(converter.convert(V4L2_PIX_FMT_MJPEG, 0, 0, 0, photo().jpeg.data(),
                                  photo().jpeg.size(), frame));
    EXPECT_TRUE(frame.compressed());
    EXPECT_EQ(frame.width, 1296);
    EXPECT_EQ(frame.height, 968);
    EXPECT_EQ(frame.jpeg, photo().jpeg);
}

TEST(FrameDecoding, ScaledDecodeLooksLikeAFullDecodeShrunk) {
    Frame full;
    ASSERT_TRUE(pictavo::decodeFrame(photo().jpeg, 1, false, full));
    ASSERT_EQ(full.width, 1296);
    const cv::Mat fullMat(full.height, full.width, CV_8UC3, full.pixels.data());
    // The same picture, the right way round: the decoder's B,G,R bottom-up rows are the photo's.
    cv::Mat upright;
    cv::flip(fullMat, upright, 0);
    EXPECT_LT(cv::norm(upright, photo().bgr, cv::NORM_L1) / static_cast<double>(upright.total() * 3), 1.0);

    for (int scale : {2, 4, 8}) {
        for (bool fast : {false, true}) {
            SCOPED_TRACE("1/" + std::to_string(scale) + (fast ? " fast" : ""));
            Frame scaled;
            ASSERT_TRUE(pictavo::decodeFrame(photo().jpeg, scale, fast, scaled));
            ASSERT_EQ(scaled.width, 1296 / scale);
            ASSERT_EQ(scaled.height, 968 / scale);
            cv::Mat shrunk;
            cv::resize(fullMat, shrunk, cv::Size(scaled.width, scaled.height), 0, 0, cv::INTER_AREA);
            const cv::Mat scaledMat(scaled.height, scaled.width, CV_8UC3, scaled.pixels.data());
            cv::Mat difference;
            cv::absdiff(shrunk, scaledMat, difference);
            const double mean = cv::mean(difference.reshape(1))[0];
            EXPECT_LT(mean, 3.0);
            // Where the page's edges and text are, the two differ most; even there, little.
            cv::Mat over;
            cv::threshold(difference.reshape(1), over, 24, 1, cv::THRESH_BINARY);
            EXPECT_LT(cv::sum(over)[0] / static_cast<double>(over.total()), 0.01);
        }
    }
    Frame refused;
    EXPECT_FALSE(pictavo::decodeFrame(photo().jpeg, 3, false, refused));
    EXPECT_FALSE(pictavo::decodeFrame(std::vector<uint8_t>(100, 7), 1, false, refused));
}

// The width the service's preview makes of a frame `width` wide for a page asking `wanted`:
// the largest divisor of the width not above it, the step then lowered until it divides the
// height too.
cv::Size servicePreview(int width, int height, int wanted) {
    int step = 1;
    for (int w = wanted; w >= 1; --w)
        if (width % w == 0) {
            step = width / w;
            break;
        }
    while (step > 1 && (width % step != 0 || height % step != 0)) --step;
    return {width / step, height / step};
}

TEST(FrameDecoding, PreviewScaleGivesThePreviewAFullFrameWouldGive) {
    struct Case {
        int width, height, previewWidth, scale;
    };
    for (const Case& c : {Case{2592, 1944, 640, 2}, Case{1920, 1080, 640, 1}, Case{2048, 1536, 640, 4},
                          Case{1280, 720, 640, 2}, Case{4208, 3120, 640, 8}, Case{3840, 2160, 640, 2},
                          Case{2592, 1944, 500, 2}, Case{1920, 1080, 480, 4}, Case{1920, 1080, 0, 1},
                          Case{640, 480, 640, 1}, Case{1920, 1080, 20, 4}, Case{1600, 1200, 640, 4}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " +
                     std::to_string(c.previewWidth));
        const int scale = pictavo::previewScale(c.width, c.height, c.previewWidth);
        EXPECT_EQ(scale, c.scale);
        if (c.previewWidth > 0) {
            EXPECT_EQ(servicePreview(c.width / scale, c.height / scale, c.previewWidth),
                      servicePreview(c.width, c.height, c.previewWidth));
        }
    }
}

std::atomic<int> previewWidthSeen{0}, previewHeightSeen{0};
bool notePreview(uint8_t*, int width, int height, int) {
    previewWidthSeen.store(width);
    previewHeightSeen.store(height);
    return true;
}

TEST(FrameDecoding, AStreamPreviewsJpegFramesAtTheirScaleAndCapturesThemWhole) {
    pictavo::CameraStream stream(15, 640);
    stream.started();
    stream.setPreviewCallback(notePreview);
    const auto deliver = [&] {
        Frame frame;
        frame.width = 1296;
        frame.height = 968;
        frame.jpeg = photo().jpeg;
        stream.onFrame(frame);
    };
    deliver();
    // 1296 wide at 640: the service's step is 2, so the frame is decoded at half size.
    EXPECT_EQ(previewWidthSeen.load(), 648);
    EXPECT_EQ(previewHeightSeen.load(), 484);
    // A capture decodes the newest frame as it came, whole.
    Frame latest;
    ASSERT_EQ(stream.latestFrame(latest), pictavo::kOk);
    Frame whole;
    ASSERT_TRUE(pictavo::decodeFrame(photo().jpeg, 1, false, whole));
    EXPECT_EQ(latest.width, 1296);
    EXPECT_TRUE(latest.pixels == whole.pixels);
    EXPECT_EQ(latest.jpeg, photo().jpeg) << "kept for captures that change no pixel";
    // With a custom crop rectangle the preview is marked in frame pixels: full frames.
    ASSERT_EQ(stream.applyOption(pictavo::image_option::CropRect{10, 10, 400, 300}), pictavo::kOk);
    deliver();
    EXPECT_EQ(previewWidthSeen.load(), 1296);
    EXPECT_EQ(previewHeightSeen.load(), 968);
    // A damaged frame is dropped, the last good one kept.
    Frame damaged;
    damaged.width = 1296;
    damaged.height = 968;
    damaged.jpeg.assign(photo().jpeg.begin(), photo().jpeg.begin() + 200);
    previewWidthSeen.store(0);
    stream.onFrame(damaged);
    EXPECT_EQ(previewWidthSeen.load(), 0);
    ASSERT_EQ(stream.latestFrame(latest), pictavo::kOk);
    EXPECT_TRUE(latest.pixels == whole.pixels);
}

}  // namespace
