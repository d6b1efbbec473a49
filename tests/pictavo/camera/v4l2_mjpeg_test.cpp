// Motion-JPEG frames as UVC cameras send them (no JFIF header, no Huffman tables) made into
// files, and captures from a Motion-JPEG camera that save the camera's own JPEG.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "camera_test_support.h"
#include "common/jpeg_codec.h"
#include "pictavo/camera/camera_family.h"
#include "pictavo/camera/file_sign.h"
#include "pictavo/camera/v4l2_camera_scanner.h"
#include "pictavo/camera/v4l2_mjpeg.h"
#include "pictavo/status.h"
#include "v4l2_fake_tree.h"

namespace {

using namespace std::chrono_literals;

// A Motion-JPEG frame as a UVC camera sends it: an "AVI1" APP0 instead of JFIF, and no DHT.
// Red above, blue below.
std::vector<uint8_t> cameraFrame(int width, int height, int quality = 90) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool top = y < height / 2;
            rgb.insert(rgb.end(), {uint8_t(top ? 255 : 0), 0, uint8_t(top ? 0 : 255)});
        }
    lenvaro::jpeg::EncodeOptions options;
    options.quality = quality;
    std::vector<uint8_t> jpeg;
    EXPECT_TRUE(lenvaro::jpeg::encode(rgb.data(), width, height, 3, width * 3u, options, jpeg));
    std::vector<uint8_t> frame = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x08, 'A', 'V', 'I', '1', 0, 0};
    size_t at = 2;
    while (jpeg[at + 1] != 0xDA) {
        const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (jpeg[at + 1] != 0xC4 && jpeg[at + 1] != 0xE0)
            frame.insert(frame.end(), jpeg.begin() + long(at), jpeg.begin() + long(at + 2 + length));
        at += 2 + length;
    }
    frame.insert(frame.end(), jpeg.begin() + long(at), jpeg.end());
    return frame;
}

// The bytes from the start of the scan on: the compressed picture itself.
std::vector<uint8_t> scanOf(const std::vector<uint8_t>& jpeg) {
    for (size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return {jpeg.begin() + long(i), jpeg.end()};
    return {};
}

bool hasSegment(const std::vector<uint8_t>& jpeg, uint8_t marker) {
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        if (jpeg[at + 1] == marker) return true;
        at += 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
    }
    return false;
}

TEST(V4l2Mjpeg, CameraFramesBecomeCompleteFilesWithTheirScanUntouched) {
    const std::vector<uint8_t> frame = cameraFrame(64, 48);
    ASSERT_FALSE(hasSegment(frame, 0xC4));
    std::vector<uint8_t> file;
    ASSERT_TRUE(pictavo::completeMotionJpeg(frame, 300, 150, file));
    EXPECT_TRUE(hasSegment(file, 0xC4));
    EXPECT_EQ(scanOf(file), scanOf(frame));
    EXPECT_EQ(std::string(file.begin() + 6, file.begin() + 10), "JFIF");
    EXPECT_EQ(std::search(file.begin(), file.end(), std::begin("AVI1"), std::end("AVI1") - 1),
              file.end());

    lenvaro::jpeg::Info info;
    ASSERT_TRUE(lenvaro::jpeg::readInfo(file.data(), file.size(), info));
    EXPECT_EQ(info.densityUnit, 1);
    EXPECT_EQ(info.xDensity, 300);
    EXPECT_EQ(info.yDensity, 150);
    lenvaro::jpeg::Image image;
    ASSERT_TRUE(lenvaro::jpeg::decode(file.data(), file.size(), image));
    EXPECT_TRUE(pictavo_test::near(pictavo_test::pixelAt(image, 5, 5), {255, 0, 0}));
    EXPECT_TRUE(pictavo_test::near(pictavo_test::pixelAt(image, 5, 43), {0, 0, 255}));

    // A frame with tables of its own keeps them and gets no second set.
    std::vector<uint8_t> complete;
    const std::vector<uint8_t> rgb(16 * 16 * 3, 90);
    ASSERT_TRUE(lenvaro::jpeg::encode(rgb.data(), 16, 16, 3, 48, {}, complete));
    ASSERT_TRUE(pictavo::completeMotionJpeg(complete, 200, 200, file));
    EXPECT_EQ(file.size(), complete.size());
}

TEST(V4l2Mjpeg, MalformedFramesAreRefused) {
    std::vector<uint8_t> file;
    EXPECT_FALSE(pictavo::completeMotionJpeg({}, 200, 200, file));
    EXPECT_FALSE(pictavo::completeMotionJpeg({0xFF, 0xD8, 0xFF}, 200, 200, file));
    const std::vector<uint8_t> frame = cameraFrame(32, 32);
    const std::vector<uint8_t> noScan(frame.begin(), frame.begin() + 40);
    EXPECT_FALSE(pictavo::completeMotionJpeg(noScan, 200, 200, file));
    // A quantisation table segment claiming 256 bytes where 4 follow.
    EXPECT_FALSE(pictavo::completeMotionJpeg({0xFF, 0xD8, 0xFF, 0xDB, 0x01, 0x00, 1, 2, 3, 4},
                                             200, 200, file));
    // Bytes that are no marker where a segment should start.
    EXPECT_FALSE(pictavo::completeMotionJpeg({0xFF, 0xD8, 0x12, 0x34, 0x00, 0x02, 0xFF, 0xDA},
                                             200, 200, file));
}

TEST(V4l2Mjpeg, CapturesOfAMotionJpegCameraSaveItsOwnJpegUnlessPixelsChange) {
    pictavo_test::FakeV4l2Tree tree;
    auto device = tree.add("video0", "Doc Cam", "1-1");
    device->formats = {{V4L2_PIX_FMT_MJPEG, {{64, 48}}}};
    pictavo::CameraFamily family({}, pictavo::makeV4l2Scanner(tree.root(), tree.io));
    ASSERT_EQ(family.count(), 1);
    ASSERT_EQ(family.open(0, 0, {0, 0}), pictavo::kOk);
    const std::vector<uint8_t> frame = cameraFrame(64, 48);
    pictavo::Frame latest;
    for (int i = 0; i < 20; ++i) {
        device->waitStreaming(100ms);
        device->produce(frame);
        if (family.latestFrame(0, latest) == pictavo::kOk) break;
    }
    ASSERT_EQ(latest.width, 64);

    const std::string path = tree.dir.file("page.jpg");
    std::vector<uint8_t> saved;
    ASSERT_EQ(family.capture(0, path), pictavo::kOk);
    ASSERT_TRUE(lenvaro::jpeg::readBytes(path, saved));
    EXPECT_EQ(scanOf(saved), scanOf(frame));  // not decoded and encoded again
    lenvaro::jpeg::Info info;
    ASSERT_TRUE(lenvaro::jpeg::readInfo(saved.data(), saved.size(), info));
    EXPECT_EQ(info.xDensity, 200);

    // Signed: the mark goes on the camera's JPEG and checks out.
    lenvaro::testing::ScopedEnvironment key("PICTAVO_SIGN_KEY_FILE", tree.dir.file("sign.key"));
    ASSERT_EQ(family.setImageOption(0, pictavo::image_option::FileSign{true}), pictavo::kOk);
    ASSERT_EQ(family.capture(0, path), pictavo::kOk);
    bool isSigned = false;
    EXPECT_EQ(pictavo::checkImageFileSign(path, isSigned), pictavo::kOk);
    EXPECT_TRUE(isSigned);

    // A quality of the page's own, or any pixel work, encodes anew.
    ASSERT_EQ(family.setImageOption(0, pictavo::image_option::JpegQuality{40}), pictavo::kOk);
    ASSERT_EQ(family.capture(0, path), pictavo::kOk);
    ASSERT_TRUE(lenvaro::jpeg::readBytes(path, saved));
    EXPECT_NE(scanOf(saved), scanOf(frame));
    ASSERT_EQ(family.setImageOption(0, pictavo::image_option::JpegQuality{85}), pictavo::kOk);
    ASSERT_EQ(family.setImageOption(0, pictavo::image_option::Rotate{2}), pictavo::kOk);
    ASSERT_EQ(family.capture(0, path), pictavo::kOk);
    lenvaro::jpeg::Image image;
    ASSERT_TRUE(lenvaro::jpeg::readFile(path, image));
    EXPECT_TRUE(pictavo_test::near(pictavo_test::pixelAt(image, 5, 5), {0, 0, 255}));  // upside down
    EXPECT_EQ(family.close(0), pictavo::kOk);
}

}  // namespace
