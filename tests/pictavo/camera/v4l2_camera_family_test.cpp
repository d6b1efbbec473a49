// V4L2 cameras in the camera family: listed before the simulated ones, found again on every
// count (unplug and plug), and captured through the same pipeline as every other camera.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "camera_test_support.h"
#include "common/jpeg_codec.h"
#include "pictavo/camera/camera_family.h"
#include "pictavo/camera/v4l2_camera_scanner.h"
#include "pictavo/config.h"
#include "pictavo/registry.h"
#include "pictavo/status.h"
#include "v4l2_fake_tree.h"

namespace {

using namespace std::chrono_literals;
using pictavo::CameraFamily;
using pictavo_test::FakeV4l2Tree;

constexpr uint8_t kRedYuv[3] = {76, 85, 255};
constexpr uint8_t kBlueYuv[3] = {29, 255, 107};

// A fixed camera standing in for the simulated ones: it never streams.
class StillCamera final : public pictavo::Camera {
  public:
    pictavo::CameraInfo info() const override { return {"Fixed", 2, "", "", "", ""}; }
    std::vector<pictavo::MediaType> mediaTypes() const override {
        return {{"YUY2", {{64, 32}}}};
    }
    int open(int, pictavo::Resolution) override { return pictavo::kOk; }
    int close() override { return pictavo::kOk; }
};

std::vector<std::unique_ptr<pictavo::Camera>> oneFixedCamera() {
    std::vector<std::unique_ptr<pictavo::Camera>> cameras;
    cameras.push_back(std::make_unique<StillCamera>());
    return cameras;
}

struct FamilyRig {
    FamilyRig() {
        pictavo_test::giveFormats(*tree.add("video0", "Doc Cam", "1-1"));
        family = std::make_unique<CameraFamily>(oneFixedCamera(),
                                                pictavo::makeV4l2Scanner(tree.root(), tree.io));
    }
    FakeV4l2Tree tree;
    std::unique_ptr<CameraFamily> family;
};

// Feeds the fake device frames until the family has one of the size it expects.
bool feedUntilFrame(pictavo_test::FakeV4l2Device& device, CameraFamily& family, int dev,
                    int width, int height) {
    const std::vector<uint8_t> bytes = pictavo_test::yuyvFrame(width, height, kRedYuv, kBlueYuv);
    for (int i = 0; i < 20; ++i) {
        device.waitStreaming(100ms);
        device.produce(bytes);
        pictavo::Frame frame;
        if (family.latestFrame(dev, frame) == pictavo::kOk && frame.width == width) return true;
    }
    return false;
}

TEST(V4l2CameraFamily, RealCamerasComeFirstAndFollowUnplugAndPlug) {
    FamilyRig rig;
    CameraFamily& family = *rig.family;
    ASSERT_EQ(family.count(), 2);
    EXPECT_EQ(family.name(0), "Doc Cam");
    EXPECT_EQ(family.name(1), "Fixed");
    EXPECT_EQ(family.mediaTypeName(0, 0), "MJPG");
    EXPECT_EQ(family.mediaTypeName(0, 1), "YUYV");
    pictavo::CameraInfo info;
    ASSERT_EQ(family.info(0, info), pictavo::kOk);
    EXPECT_EQ(info.vid, "046D");
    EXPECT_EQ(info.serial, "SN-1-1");

    // A second camera plugged in is listed after the first, before the fixed one.
    auto second = rig.tree.add("video2", "Other Cam", "1-2");
    pictavo_test::giveFormats(*second);
    ASSERT_EQ(family.count(), 3);
    EXPECT_EQ(family.name(1), "Other Cam");
    EXPECT_EQ(family.name(2), "Fixed");

    // The first one, open and streaming, is pulled out: it is closed and its index moves on.
    ASSERT_EQ(family.open(0, 1, {640, 480}), pictavo::kOk);
    auto first = rig.tree.io->devices.at(rig.tree.dir.file("dev/video0"));
    ASSERT_TRUE(feedUntilFrame(*first, family, 0, 640, 480));
    rig.tree.remove("video0");
    ASSERT_EQ(family.count(), 2);
    EXPECT_EQ(family.name(0), "Other Cam");
    EXPECT_EQ(first->openHandles(), 0);
    EXPECT_EQ(first->mappings(), 0);
    pictavo::Frame frame;
    EXPECT_EQ(family.latestFrame(0, frame), pictavo::kNoDevice);  // Other Cam is not open

    // Plugged back into the same port: listed again, as the same camera.
    pictavo_test::giveFormats(*rig.tree.add("video0", "Doc Cam", "1-1"));
    ASSERT_EQ(family.count(), 3);
    EXPECT_EQ(family.name(0), "Doc Cam");
    EXPECT_EQ(family.uninit(), pictavo::kOk);
}

TEST(V4l2CameraFamily, CaptureOfARecordedFrameGoesThroughTheCapturePipeline) {
    FamilyRig rig;
    CameraFamily& family = *rig.family;
    ASSERT_EQ(family.count(), 2);
    auto device = rig.tree.io->devices.at(rig.tree.dir.file("dev/video0"));
    ASSERT_EQ(family.open(0, 1, {640, 480}), pictavo::kOk);
    ASSERT_TRUE(feedUntilFrame(*device, family, 0, 640, 480));

    // A quarter turn and grey: the red top half lands on the right, as a grey of red's
    // brightness; the blue half on the left.
    ASSERT_EQ(family.setImageOption(0, pictavo::image_option::Rotate{1}), pictavo::kOk);
    ASSERT_EQ(family.setImageOption(0, pictavo::image_option::ColorStyle{pictavo::kGrey}),
              pictavo::kOk);
    ASSERT_EQ(family.setImageOption(0, pictavo::image_option::Dpi{300, 150}), pictavo::kOk);
    const std::string path = rig.tree.dir.file("capture.jpg");
    ASSERT_EQ(family.capture(0, path), pictavo::kOk);

    std::vector<uint8_t> bytes;
    ASSERT_TRUE(lenvaro::jpeg::readBytes(path, bytes));
    lenvaro::jpeg::Info header;
    ASSERT_TRUE(lenvaro::jpeg::readInfo(bytes.data(), bytes.size(), header));
    EXPECT_EQ(header.width, 480);
    EXPECT_EQ(header.height, 640);
    EXPECT_EQ(header.components, 1);
    EXPECT_EQ(header.xDensity, 150);  // swapped by the quarter turn
    EXPECT_EQ(header.yDensity, 300);
    lenvaro::jpeg::Image image;
    ASSERT_TRUE(lenvaro::jpeg::decode(bytes.data(), bytes.size(), image));
    const auto right = pictavo_test::pixelAt(image, 470, 320);
    const auto left = pictavo_test::pixelAt(image, 10, 320);
    EXPECT_NEAR(right.r, 76, 12);  // red's luma
    EXPECT_NEAR(left.r, 29, 12);   // blue's luma

    // Resolution changes renegotiate with the device and the capture waits for the new size.
    ASSERT_EQ(family.setResolution(0, {320, 240}), pictavo::kOk);
    EXPECT_EQ(device->format().width, 320u);
    std::thread feeder([&] { feedUntilFrame(*device, family, 0, 320, 240); });
    ASSERT_EQ(family.setImageOption(0, pictavo::image_option::Rotate{0}), pictavo::kOk);
    EXPECT_EQ(family.capture(0, path), pictavo::kOk);
    feeder.join();
    ASSERT_TRUE(lenvaro::jpeg::readBytes(path, bytes));
    ASSERT_TRUE(lenvaro::jpeg::readInfo(bytes.data(), bytes.size(), header));
    EXPECT_EQ(header.width, 320);
    EXPECT_EQ(header.height, 240);

    // Pulled out mid-stream: captures answer "no device" rather than saving the last frame
    // again, and nothing hangs.
    device->unplug();
    int status = pictavo::kOk;
    for (int i = 0; i < 100 && status == pictavo::kOk; ++i) {
        status = family.capture(0, path);
        if (status == pictavo::kOk) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(status, pictavo::kNoDevice);
    EXPECT_EQ(family.close(0), pictavo::kOk);
    EXPECT_EQ(device->openHandles(), 0);
}

TEST(V4l2CameraFamily, TheConfigurationCanStopTheLookingForRealCameras) {
    pictavo::Config config;
    EXPECT_NE(pictavo::findDevices(config).cameraScanner, nullptr);  // looked for by default
    pictavo::CameraSettings settings;
    Json::Value section(Json::objectValue);
    section["real"] = false;
    ASSERT_EQ(pictavo::readCameraSettings(section, "", settings), "");
    EXPECT_FALSE(settings.real);
    section["real"] = 1;
    EXPECT_NE(pictavo::readCameraSettings(section, "", settings), "");
    config.document["cameras"]["real"] = false;
    const pictavo::Devices devices = pictavo::findDevices(config);
    EXPECT_EQ(devices.cameraScanner, nullptr);
    EXPECT_EQ(devices.cameras.size(), 2u);  // the simulated ones stay
}

TEST(V4l2CameraFamily, NoRealCameraChangesNothing) {
    FakeV4l2Tree tree;
    CameraFamily family(oneFixedCamera(), pictavo::makeV4l2Scanner(tree.root(), tree.io));
    EXPECT_EQ(family.count(), 1);
    EXPECT_EQ(family.name(0), "Fixed");
}

}  // namespace
