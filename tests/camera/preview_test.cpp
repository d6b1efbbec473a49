#include "camera/preview.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "camera_test.h"
#include "common/jpeg_codec.h"
#include "common/paths.h"
#include "service/dispatch.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;
using Rgb = std::array<int, 3>;

// ---- Building and reading pictures ----

// A bottom-up B,G,R frame; (x, y) counted from the top-left of the picture.
uint8_t* framePixel(uint8_t* pixels, int width, int height, int x, int y) {
    return pixels + (static_cast<size_t>(height - 1 - y) * width + x) * 3;
}

void paintRect(uint8_t* pixels, int width, int height, int x0, int y0, int x1, int y1, Rgb rgb) {
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            uint8_t* p = framePixel(pixels, width, height, x, y);
            p[0] = static_cast<uint8_t>(rgb[2]);
            p[1] = static_cast<uint8_t>(rgb[1]);
            p[2] = static_cast<uint8_t>(rgb[0]);
        }
    }
}

Rgb imagePixel(const jpeg::Image& image, int x, int y) {
    const uint8_t* p = image.pixels.data() + (static_cast<size_t>(y) * image.width + x) * 3;
    return {p[0], p[1], p[2]};
}

// JPEG at quality 70 moves colours a little; a flat area stays within this of its value.
bool near(Rgb actual, Rgb expected, int tolerance = 24) {
    for (int i = 0; i < 3; ++i) {
        if (std::abs(actual[i] - expected[i]) > tolerance) return false;
    }
    return true;
}

std::string describe(Rgb c) {
    return "(" + std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]) +
           ")";
}

bool markedAt(const std::vector<uint8_t>& frame, int width, int height, int x, int y) {
    const uint8_t* p = frame.data() + (static_cast<size_t>(height - 1 - y) * width + x) * 3;
    return p[0] == 0xFF && p[1] == 0x45 && p[2] == 0x00;
}

const Rgb kGrey{128, 128, 128};
const Rgb kRed{255, 0, 0};
// The mark's bytes FF 45 00 on a B,G,R frame.
const Rgb kMark{0x00, 0x45, 0xFF};

// ---- The pieces ----

TEST(DecimateFrame, SizesFollowTheLargestWholeStep) {
    struct Case {
        int width, height, target, expectedWidth, expectedHeight;
    };
    const Case cases[] = {
        {1920, 1080, 640, 640, 360},
        {1920, 1080, 1000, 960, 540},
        {2592, 1944, 500, 432, 324},
        {1920, 1080, 0, 1920, 1080},
        {1920, 1080, 1920, 1920, 1080},
        {1920, 1080, 5000, 1920, 1080},
        // A negative width is no width: the full frame, never a negative step.
        {1920, 1080, -5, 1920, 1080},
        // No height divides 1080 with step 96: the largest step below that divides both, 60.
        {1920, 1080, 20, 32, 18},
        // Prime sides: only step 1 divides both.
        {641, 479, 100, 641, 479},
        {1, 1, 1, 1, 1},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> frame(static_cast<size_t>(c.width) * c.height * 3, 7);
        ScaledPicture picture;
        ASSERT_TRUE(decimateFrame(frame.data(), c.width, c.height, c.target, picture));
        EXPECT_EQ(picture.width, c.expectedWidth)
            << c.width << "x" << c.height << " at " << c.target;
        EXPECT_EQ(picture.height, c.expectedHeight)
            << c.width << "x" << c.height << " at " << c.target;
        if (picture.width == c.width) {
            // Full size: the frame itself, as it is.
            EXPECT_EQ(picture.pixels, frame.data());
            EXPECT_TRUE(picture.bgr);
            EXPECT_EQ(picture.stride, static_cast<size_t>(c.width) * 3);
        } else {
            EXPECT_FALSE(picture.bgr);
            EXPECT_EQ(picture.stride, static_cast<size_t>(picture.width) * 3);
            EXPECT_EQ(picture.storage.size(), picture.stride * picture.height);
            EXPECT_EQ(picture.pixels, picture.storage.data());
        }
    }
}

TEST(DecimateFrame, KeepsTheFirstPixelOfEachBlockInBufferOrderAsRgb) {
    // 6x4 frame, every pixel distinct: B = column, G = row, R = 100.
    const int width = 6;
    const int height = 4;
    std::vector<uint8_t> frame(width * height * 3);
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            uint8_t* p = frame.data() + (row * width + column) * 3;
            p[0] = static_cast<uint8_t>(column);
            p[1] = static_cast<uint8_t>(row);
            p[2] = 100;
        }
    }
    ScaledPicture picture;
    ASSERT_TRUE(decimateFrame(frame.data(), width, height, 3, picture));
    ASSERT_EQ(picture.width, 3);
    ASSERT_EQ(picture.height, 2);
    const std::vector<uint8_t> expected = {100, 0, 0, 100, 0, 2, 100, 0, 4,
                                           100, 2, 0, 100, 2, 2, 100, 2, 4};
    EXPECT_EQ(std::vector<uint8_t>(picture.pixels, picture.pixels + expected.size()), expected);
    // A narrower frame reuses the storage; the last pixel of each row is right too.
    ASSERT_TRUE(decimateFrame(frame.data(), 2, 12, 1, picture));
    ASSERT_EQ(picture.width, 1);
    ASSERT_EQ(picture.height, 6);
    EXPECT_EQ(std::vector<uint8_t>(picture.pixels, picture.pixels + 6),
              (std::vector<uint8_t>{100, 0, 0, 100, 0, 4}));
}

TEST(DecimateFrame, EmptyFramesAreRefused) {
    ScaledPicture picture;
    const uint8_t pixel[3] = {};
    EXPECT_FALSE(decimateFrame(nullptr, 10, 10, 5, picture));
    EXPECT_FALSE(decimateFrame(pixel, 0, 10, 5, picture));
    EXPECT_FALSE(decimateFrame(pixel, 10, -1, 5, picture));
    EXPECT_EQ(picture.width, 0);
}

class MarkCropRect : public ::testing::Test {
  protected:
    // 200x100: bands 2 pixels thick. Guard bytes after the frame catch writes past its end.
    static constexpr int kWidth = 200;
    static constexpr int kHeight = 100;
    static constexpr size_t kGuard = 4096;
    MarkCropRect() : buffer_(kGuard + kWidth * kHeight * 3 + kGuard, 0x11) {}
    uint8_t* frame() { return buffer_.data() + kGuard; }
    std::vector<uint8_t> pixels() const {
        return std::vector<uint8_t>(buffer_.begin() + kGuard, buffer_.end() - kGuard);
    }
    bool guardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (buffer_[i] != 0x11 || buffer_[buffer_.size() - 1 - i] != 0x11) return false;
        }
        return true;
    }
    size_t markedCount() const {
        const std::vector<uint8_t> p = pixels();
        size_t count = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) count += markedAt(p, kWidth, kHeight, x, y);
        }
        return count;
    }
    bool marked(int x, int y) const { return markedAt(pixels(), kWidth, kHeight, x, y); }
    std::vector<uint8_t> buffer_;
};

TEST_F(MarkCropRect, DrawsBandsOutsideTheRectangle) {
    markCropRect(frame(), kWidth, kHeight, CropRect{50, 20, 150, 80});
    // Top band rows 18-19, bottom band rows 80-81, across columns 48..151.
    EXPECT_TRUE(marked(48, 18));
    EXPECT_TRUE(marked(151, 19));
    EXPECT_TRUE(marked(100, 81));
    EXPECT_FALSE(marked(100, 82));
    EXPECT_FALSE(marked(152, 18));
    // Left band columns 48-49, right band columns 150-151, for rows 20..79.
    EXPECT_TRUE(marked(48, 50));
    EXPECT_TRUE(marked(49, 50));
    EXPECT_FALSE(marked(50, 50));  // the rectangle itself stays as it was
    EXPECT_FALSE(marked(47, 50));
    EXPECT_TRUE(marked(150, 79));
    EXPECT_FALSE(marked(149, 79));
    EXPECT_EQ(markedCount(), 2u * 104 * 2 + 2u * 2 * 60);
}

TEST_F(MarkCropRect, SmallOrEmptyRectanglesDrawNothing) {
    for (const CropRect rect : {CropRect{}, CropRect{50, 20, 60, 80}, CropRect{50, 20, 150, 30},
                                CropRect{150, 20, 50, 80}}) {
        markCropRect(frame(), kWidth, kHeight, rect);
    }
    EXPECT_EQ(markedCount(), 0u);
}

TEST_F(MarkCropRect, RectangleAtTheEdgesKeepsItsBandsInside) {
    markCropRect(frame(), kWidth, kHeight, CropRect{0, 0, kWidth, kHeight});
    // Each band lies inside the picture, t = 2 pixels wide.
    EXPECT_TRUE(marked(0, 50));
    EXPECT_TRUE(marked(1, 50));
    EXPECT_FALSE(marked(2, 50));
    EXPECT_TRUE(marked(199, 50));
    EXPECT_TRUE(marked(198, 50));
    EXPECT_FALSE(marked(197, 50));
    EXPECT_TRUE(marked(100, 0));
    EXPECT_TRUE(marked(100, 1));
    EXPECT_FALSE(marked(100, 2));
    EXPECT_TRUE(marked(100, 99));
    EXPECT_TRUE(marked(100, 98));
    EXPECT_FALSE(marked(100, 97));
    EXPECT_TRUE(guardsIntact());
}

TEST_F(MarkCropRect, RectanglesFromAnotherResolutionNeverWriteOutsideTheFrame) {
    for (const CropRect rect :
         {CropRect{100, 50, 5000, 3000}, CropRect{-300, -300, 50, 50},
          CropRect{4000, 3000, 6000, 5000}, CropRect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX},
          CropRect{-50, 40, -20, 90}}) {
        markCropRect(frame(), kWidth, kHeight, rect);
    }
    EXPECT_TRUE(guardsIntact());
    EXPECT_GT(markedCount(), 0u);
}

TEST(MarkCropRectOnPicture, PaintsExactlyThePixelsTheFrameMarkWouldLeaveAfterShrinking) {
    // Marking the shrunk copy must give the picture that marking the frame and then shrinking
    // gives, for every step and every kind of rectangle.
    const int width = 240;
    const int height = 120;
    std::vector<uint8_t> original(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<uint8_t>(i * 31 + i / 7);
    const CropRect rects[] = {{50, 20, 150, 80},   {0, 0, width, height},  {3, 1, 237, 119},
                              {51, 21, 149, 79},   {-300, -300, 50, 50},   {100, 50, 5000, 3000},
                              {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, {50, 20, 60, 80},
                              {5, 7, 239, 118},    {119, 59, 131, 71}};
    for (const int targetWidth : {120, 80, 60, 48, 40, 24, 12}) {
        for (const CropRect& rect : rects) {
            std::vector<uint8_t> marked = original;
            markCropRect(marked.data(), width, height, rect);
            ScaledPicture expected;
            ASSERT_TRUE(decimateFrame(marked.data(), width, height, targetWidth, expected));

            ScaledPicture picture;
            ASSERT_TRUE(decimateFrame(original.data(), width, height, targetWidth, picture));
            markCropRectOnPicture(picture, width, height, rect);
            ASSERT_EQ(picture.width, expected.width);
            ASSERT_EQ(picture.storage, expected.storage)
                << "width " << targetWidth << ", rect " << rect.left << "," << rect.top << ","
                << rect.right << "," << rect.bottom;
        }
    }
}

TEST(MarkCropRectOnPicture, LeavesAFullSizePictureToTheFrameMark) {
    std::vector<uint8_t> frame(60 * 40 * 3, 9);
    const std::vector<uint8_t> before = frame;
    ScaledPicture picture;
    ASSERT_TRUE(decimateFrame(frame.data(), 60, 40, 0, picture));
    markCropRectOnPicture(picture, 60, 40, CropRect{10, 10, 50, 30});
    EXPECT_EQ(frame, before);
}

TEST(DecimateFrame, EverySamplerCopiesEachPixelAtEveryCountAndStep) {
    // Counts around the blocks of four and eight pixels and their tails, odd steps and even,
    // with nothing written past the last pixel.
    std::vector<uint8_t> row(40 * 7 * 3 + 1);
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(i * 13 + 5);
    const std::vector<RowSampler> samplers = rowSamplers();
    ASSERT_FALSE(samplers.empty());
    for (size_t which = 0; which < samplers.size(); ++which) {
        for (int step = 2; step <= 7; ++step) {
            for (int count = 1; count <= 40; ++count) {
                if (static_cast<size_t>((count - 1) * step + 2) * 3 > row.size()) continue;
                std::vector<uint8_t> target(static_cast<size_t>(count) * 3 + 8, 0xEE);
                samplers[which](row.data(), static_cast<size_t>(step) * 3, count, target.data());
                for (int i = 0; i < count; ++i) {
                    const uint8_t* source = row.data() + static_cast<size_t>(i) * step * 3;
                    ASSERT_EQ(target[i * 3 + 0], source[2])
                        << "sampler " << which << " step " << step << " count " << count;
                    ASSERT_EQ(target[i * 3 + 1], source[1]);
                    ASSERT_EQ(target[i * 3 + 2], source[0]);
                }
                for (size_t i = static_cast<size_t>(count) * 3; i < target.size(); ++i) {
                    ASSERT_EQ(target[i], 0xEE) << "sampler " << which << " wrote past the row";
                }
            }
        }
    }
}

TEST(PreviewBacklog, AboutOneSecondOfPreviewAtTheArrivalRate) {
    using Clock = PreviewBacklog::Clock;
    PreviewBacklog backlog;
    EXPECT_EQ(backlog.oneSecondOfPreview(), 0u);
    EXPECT_FALSE(backlog.tooFarBehind(SIZE_MAX));  // nothing known yet: never drop
    Clock::time_point now{};
    for (int i = 0; i < 60; ++i) {
        now += std::chrono::microseconds(66'667);  // 15 frames a second
        backlog.frameArrived(now);
        backlog.framePushed(30'000);
    }
    EXPECT_NEAR(static_cast<double>(backlog.oneSecondOfPreview()), 450'000.0, 5'000.0);
    EXPECT_FALSE(backlog.tooFarBehind(400'000));
    EXPECT_TRUE(backlog.tooFarBehind(500'000));
    // A pause (camera reopened) does not count as a slow frame rate.
    now += std::chrono::seconds(30);
    backlog.frameArrived(now);
    EXPECT_NEAR(static_cast<double>(backlog.oneSecondOfPreview()), 450'000.0, 5'000.0);
}

TEST(PreviewBacklog, AtLeastOneFrameAtLowRates) {
    using Clock = PreviewBacklog::Clock;
    PreviewBacklog backlog;
    Clock::time_point now{};
    backlog.framePushed(80'000);
    EXPECT_EQ(backlog.oneSecondOfPreview(), 80'000u);
    for (int i = 0; i < 20; ++i) {
        now += std::chrono::milliseconds(1500);
        backlog.frameArrived(now);
    }
    EXPECT_EQ(backlog.oneSecondOfPreview(), 80'000u);
}

// ---- The push, through the fake ----

class PreviewPush : public lenvaro::testing::CameraTest {
  protected:
    PreviewPush() {
        Fake::program("FileEncodeBase64", Outcome::returnsText("SlBFRw=="));
        request(
            R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"width":1920,"height":1080}})");
        Fake::clearCalls();
    }

    // Delivers one frame and returns the messages sent because of it.
    Texts deliver(int width, int height,
                  const std::function<void(uint8_t*, int, int)>& paint = {}) {
        const size_t before = harness_.sent().size();
        EXPECT_TRUE(Fake::deliverPreviewFrame(width, height, paint));
        const Texts all = harness_.sent();
        return Texts(all.begin() + static_cast<long>(before), all.end());
    }

    // The JPEG the last frame left in the scratch directory (the fake deletes nothing).
    jpeg::Image previewJpeg() {
        jpeg::Image image;
        std::string error;
        EXPECT_TRUE(jpeg::readFile(service().previewTempPath(), image, &error)) << error;
        return image;
    }

    void setWidth(int width) {
        EXPECT_TRUE(request(R"({"FuncName":"PreZoneSize","argument":{"width":)" +
                            std::to_string(width) + R"(,"height":1}})")
                        .empty());
    }
};

TEST_F(PreviewPush, EachFrameIsPushedAsMarkerAndTheLibrarysBase64) {
    EXPECT_EQ(deliver(640, 480), Texts{"$*$SlBFRw=="});
    const std::string path = service().previewTempPath();
    EXPECT_EQ(calls(),
              Texts({"FileEncodeBase64(\"" + path + "\")", "camDeleteFile(\"" + path + "\")"}));
    // The scratch JPEG lives in the service's private directory.
    EXPECT_EQ(path.rfind(service().scratchDirectory() + "/", 0), 0u);
    struct stat info {};
    ASSERT_EQ(stat(service().scratchDirectory().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(PreviewPush, JpegSizeFollowsThePreviewWidth) {
    struct Case {
        int width, height, previewWidth, jpegWidth, jpegHeight;
    };
    const Case cases[] = {{1920, 1080, 640, 640, 360},  {1920, 1080, 1000, 960, 540},
                          {2592, 1944, 500, 432, 324},  {1280, 720, 0, 1280, 720},
                          {1280, 720, 4000, 1280, 720}, {1920, 1080, 20, 32, 18}};
    for (const Case& c : cases) {
        setWidth(c.previewWidth);
        ASSERT_EQ(deliver(c.width, c.height).size(), 1u);
        const jpeg::Image image = previewJpeg();
        EXPECT_EQ(image.width, c.jpegWidth) << c.width << " at " << c.previewWidth;
        EXPECT_EQ(image.height, c.jpegHeight) << c.width << " at " << c.previewWidth;
    }
}

TEST_F(PreviewPush, PictureIsUprightAndRgb) {
    setWidth(640);
    deliver(1920, 1080, [](uint8_t* pixels, int width, int height) {
        paintRect(pixels, width, height, 0, 0, 120, 120, kRed);
    });
    const jpeg::Image image = previewJpeg();
    ASSERT_EQ(image.width, 640);
    EXPECT_TRUE(near(imagePixel(image, 10, 10), kRed)) << describe(imagePixel(image, 10, 10));
    // Not flipped, not mirrored.
    EXPECT_TRUE(near(imagePixel(image, 10, 350), kGrey)) << describe(imagePixel(image, 10, 350));
    EXPECT_TRUE(near(imagePixel(image, 630, 10), kGrey)) << describe(imagePixel(image, 630, 10));
}

TEST_F(PreviewPush, RowsStayAlignedForWidthsThatAreNoMultipleOfFour) {
    // 321 pixels wide: rows of 963 bytes. A stride mismatch would shear this vertical stripe.
    setWidth(321);
    deliver(642, 362, [](uint8_t* pixels, int width, int height) {
        paintRect(pixels, width, height, 300, 0, 340, height, kRed);
    });
    const jpeg::Image image = previewJpeg();
    ASSERT_EQ(image.width, 321);
    ASSERT_EQ(image.height, 181);
    for (const int y : {2, 90, 178}) {
        EXPECT_TRUE(near(imagePixel(image, 160, y), kRed))
            << y << describe(imagePixel(image, 160, y));
        EXPECT_TRUE(near(imagePixel(image, 100, y), kGrey))
            << y << describe(imagePixel(image, 100, y));
        EXPECT_TRUE(near(imagePixel(image, 220, y), kGrey))
            << y << describe(imagePixel(image, 220, y));
    }
}

TEST_F(PreviewPush, CustomRectangleIsMarkedUntilAutoCropClearsIt) {
    // 1000x600 at full size: bands 10 pixels thick.
    request(
        R"({"FuncName":"camSetImageCusCropRect","argument":{"left":200,"top":200,"right":800,"bottom":400}})");
    deliver(1000, 600);
    jpeg::Image image = previewJpeg();
    EXPECT_TRUE(near(imagePixel(image, 500, 195), kMark)) << describe(imagePixel(image, 500, 195));
    EXPECT_TRUE(near(imagePixel(image, 195, 300), kMark)) << describe(imagePixel(image, 195, 300));
    EXPECT_TRUE(near(imagePixel(image, 805, 405), kMark)) << describe(imagePixel(image, 805, 405));
    EXPECT_TRUE(near(imagePixel(image, 500, 300), kGrey)) << describe(imagePixel(image, 500, 300));
    EXPECT_TRUE(near(imagePixel(image, 500, 180), kGrey)) << describe(imagePixel(image, 500, 180));

    // A rectangle touching the left edge keeps its left band inside the picture.
    request(
        R"({"FuncName":"camSetImageCusCropRect","argument":{"left":0,"top":200,"right":800,"bottom":400}})");
    deliver(1000, 600);
    image = previewJpeg();
    EXPECT_TRUE(near(imagePixel(image, 4, 300), kMark)) << describe(imagePixel(image, 4, 300));
    EXPECT_TRUE(near(imagePixel(image, 24, 300), kGrey)) << describe(imagePixel(image, 24, 300));

    request(R"({"FuncName":"camSetImageAutoCrop","argument":{"CropType":0}})");
    deliver(1000, 600);
    image = previewJpeg();
    EXPECT_TRUE(near(imagePixel(image, 500, 195), kGrey)) << describe(imagePixel(image, 500, 195));
    EXPECT_TRUE(near(imagePixel(image, 4, 300), kGrey)) << describe(imagePixel(image, 4, 300));
}

TEST_F(PreviewPush, SuspendedPushWritesAndSendsNothing) {
    service().pushSuspended = true;
    EXPECT_TRUE(deliver(640, 480).empty());
    EXPECT_TRUE(calls().empty());
    EXPECT_NE(access(service().previewTempPath().c_str(), F_OK), 0);
    service().pushSuspended = false;
    EXPECT_EQ(deliver(640, 480), Texts{"$*$SlBFRw=="});
}

TEST_F(PreviewPush, UnwritableJpegDropsTheFrameAndTheServiceGoesOn) {
    // A directory where the JPEG should go: the file cannot be opened for writing.
    ASSERT_EQ(mkdir(service().previewTempPath().c_str(), 0700), 0);
    EXPECT_TRUE(deliver(640, 480).empty());
    EXPECT_TRUE(calls().empty());
    ASSERT_EQ(rmdir(service().previewTempPath().c_str()), 0);
    EXPECT_EQ(deliver(640, 480), Texts{"$*$SlBFRw=="});
}

TEST_F(PreviewPush, EmptyFramesAreIgnored) {
    EXPECT_TRUE(deliver(0, 0).empty());
    EXPECT_TRUE(Fake::previewCallback()(nullptr, 640, 480, 0));
    EXPECT_TRUE(calls().empty());
}

TEST_F(PreviewPush, PreZoneSizeNeverReplies) {
    EXPECT_TRUE(request(R"({"FuncName":"PreZoneSize","argument":{"width":800}})").empty());
    EXPECT_EQ(previewState().width(), 800);
    EXPECT_TRUE(request(R"({"FuncName":"PreZoneSize"})").empty());
    EXPECT_EQ(previewState().width(), 0);
    EXPECT_TRUE(calls().empty());
}

TEST_F(PreviewPush, SettingsMayChangeWhileFramesStream) {
    // Commands write what the frame thread reads; under ThreadSanitizer this shows any race.
    Fake::startPreviewStream(320, 240, 500);
    for (int i = 0; i < 100; ++i) {
        request(R"({"FuncName":"PreZoneSize","argument":{"width":)" +
                std::to_string(i % 3 == 0 ? 0 : 80 + i) + "}}");
        request(R"({"FuncName":"camSetImageCusCropRect","argument":{"left":)" + std::to_string(i) +
                R"(,"top":10,"right":300,"bottom":200}})");
        if (i % 10 == 0) request(R"({"FuncName":"camSetImageAutoCrop"})");
        service().pushSuspended = i % 7 == 0;
    }
    service().pushSuspended = false;
    const auto frames = [&] {
        const Texts sent = harness_.sent();
        return std::count(sent.begin(), sent.end(), "$*$SlBFRw==");
    };
    for (int i = 0; i < 500 && frames() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Fake::stopPreviewStream();
    EXPECT_GT(frames(), 0);
    for (const std::string& message : harness_.sent()) {
        EXPECT_TRUE(message == "$*$SlBFRw==" || message.rfind("{\"FuncName\":\"cam", 0) == 0)
            << message;
    }
}

// A service whose connection reports a chosen backlog.
TEST(PreviewBackpressure, FramesAreDroppedWhileThePageIsBehindButRepliesAreNot) {
    resetPreview();
    Fake::reset();
    ScratchDirectory scratch;
    std::mutex mutex;
    Texts sent;
    std::atomic<size_t> queued{0};
    CommandService service(
        scratch.path(),
        [&](std::string text) {
            std::lock_guard<std::mutex> lock(mutex);
            sent.push_back(std::move(text));
        },
        [&] { return queued.load(); });
    const auto sentCount = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return sent.size();
    };
    Fake::program("FileEncodeBase64", Outcome::returnsText(std::string(20'000, 'A')));
    handleRequest(service, R"({"FuncName":"camOpenDev"})");
    for (int i = 0; i < 3; ++i) Fake::deliverPreviewFrame(320, 240);
    EXPECT_EQ(sentCount(), 4u);  // the reply and three frames

    queued = 50'000'000;
    Fake::clearCalls();
    for (int i = 0; i < 3; ++i) Fake::deliverPreviewFrame(320, 240);
    EXPECT_EQ(sentCount(), 4u);
    EXPECT_TRUE(Fake::callLog("FileEncodeBase64").empty());
    // Replies and other pushes still go out.
    handleRequest(service, R"({"FuncName":"camGetDevCount"})");
    EXPECT_EQ(sentCount(), 5u);

    queued = 0;
    Fake::deliverPreviewFrame(320, 240);
    EXPECT_EQ(sentCount(), 6u);
    Fake::reset();
    resetPreview();
}

}  // namespace
}  // namespace lenvaro
