// Against a real camera, when asked for (LENVARO_REAL_CAMERA_TEST=1) and this computer has one:
// found, opened, a frame delivered and a capture written. Not run unasked: whatever video node a
// machine happens to have (a webcam in use, a loopback device nobody feeds, an infrared sensor)
// must not decide whether the suite passes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "../temp_dir.h"
#include "common/jpeg_codec.h"
#include "pictavo/camera/camera_family.h"
#include "pictavo/camera/v4l2_camera_scanner.h"
#include "pictavo/camera/v4l2_enumeration.h"
#include "pictavo/status.h"

namespace {

TEST(V4l2RealCamera, OpensStreamsAndCapturesTheFirstCamera) {
    const char* asked = std::getenv("LENVARO_REAL_CAMERA_TEST");
    if (asked == nullptr || std::string(asked) != "1")
        GTEST_SKIP() << "runs against this computer's camera only when LENVARO_REAL_CAMERA_TEST=1";
    const auto nodes = pictavo::findV4l2CaptureNodes("/", *pictavo::systemV4l2Io());
    if (nodes.empty()) GTEST_SKIP() << "no /dev/video* capture node on this computer";
    if (nodes.front().openError != 0)
        GTEST_SKIP() << nodes.front().devicePath << " cannot be opened (errno "
                     << nodes.front().openError << "): is this user in the video group?";

    pictavo::CameraFamily family({}, pictavo::makeV4l2Scanner("/", pictavo::systemV4l2Io()));
    ASSERT_GE(family.count(), 1);
    std::cout << "camera 0: " << family.name(0) << ", media type " << family.mediaTypeName(0, 0)
              << "\n";
    const int opened = family.open(0, 0, {0, 0});
    if (opened == pictavo::kFailed) GTEST_SKIP() << "the camera is busy (another program uses it)";
    ASSERT_EQ(opened, pictavo::kOk);
    int type = -1;
    pictavo::Resolution size;
    ASSERT_EQ(family.currentResolution(0, type, size), pictavo::kOk);
    pictavo::Frame frame;
    ASSERT_EQ(family.latestFrame(0, frame), pictavo::kOk);
    EXPECT_EQ(frame.width, size.width);
    EXPECT_EQ(frame.height, size.height);
    EXPECT_EQ(frame.pixels.size(), static_cast<size_t>(size.width) * size.height * 3);

    pictavo_test::TempDir dir;
    ASSERT_EQ(family.capture(0, dir.file("real.jpg")), pictavo::kOk);
    lenvaro::jpeg::Image image;
    ASSERT_TRUE(lenvaro::jpeg::readFile(dir.file("real.jpg"), image));
    EXPECT_EQ(image.width, size.width);
    EXPECT_EQ(family.close(0), pictavo::kOk);
}

}  // namespace
