// The V4L2 backend against a real driver: the kernel's virtual camera vivid answers every ioctl,
// fills real mmap buffers, and can be disconnected, unbound or made to fail while streaming.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "../pictavo/temp_dir.h"
#include "common/jpeg_codec.h"
#include "device_test_support.h"
#include "pictavo/camera/camera_family.h"
#include "pictavo/camera/v4l2_camera.h"
#include "pictavo/camera/v4l2_camera_scanner.h"
#include "pictavo/camera/v4l2_enumeration.h"
#include "pictavo/status.h"

namespace lenvaro_devices {
namespace {

using namespace std::chrono_literals;
using pictavo::CameraFamily;
using pictavo::Frame;
using pictavo::Resolution;

// Frames are B, G, R with the bottom row first.
int frameBarsError(const Frame& frame, std::string* report = nullptr) {
    return colourBarsError(
        frame.width, frame.height,
        [&](int x, int y, int c) { return frame.row(y)[3 * x + 2 - c]; }, report);
}

// Rounding in the driver and the converter, and JPEG, move a bar's mean by 3 levels at most; a
// picture read with the wrong range (black at 16), matrix or channel order moves it by 10 or
// more.
constexpr int kBarsTolerance = 6;

// The frame rate vivid is set to, as a driver reports it.
int vividFramesPerSecond() {
    const auto path = Vivid::node();
    if (!path) return 0;
    const int fd = ::open(path->c_str(), O_RDWR | O_CLOEXEC);
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const bool read = fd >= 0 && ::ioctl(fd, VIDIOC_G_PARM, &parameters) == 0;
    if (fd >= 0) ::close(fd);
    const v4l2_fract interval = parameters.parm.capture.timeperframe;
    return read && interval.numerator != 0 ? static_cast<int>(interval.denominator / interval.numerator) : 0;
}

class VividCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_DEVICE_TESTS();
        if (!Vivid::bound()) Vivid::bind();
        ASSERT_TRUE(eventually([] { return Vivid::node().has_value(); }))
            << "vivid is not loaded: the VM loads it with n_devs=1 node_types=0x1";
        Vivid::drawColourBars();
        family_ = std::make_unique<CameraFamily>(
            std::vector<std::unique_ptr<pictavo::Camera>>{},
            pictavo::makeV4l2Scanner("/", pictavo::systemV4l2Io()));
        ASSERT_EQ(family_->count(), 1);
        ASSERT_EQ(family_->name(0), "vivid");
    }
    void TearDown() override {
        if (family_) family_->uninit();
        if (!Vivid::bound()) Vivid::bind();
    }

    int mediaType(const std::string& name) const {
        int count = 0;
        family_->mediaTypeCount(0, count);
        for (int i = 0; i < count; ++i)
            if (family_->mediaTypeName(0, i) == name) return i;
        return -1;
    }

    // The latest frame once it has `size` (renegotiation takes a frame or two).
    bool frameOfSize(Resolution size, Frame& frame, std::chrono::milliseconds timeout = 10s) {
        return eventually(
            [&] {
                return family_->latestFrame(0, frame) == pictavo::kOk && frame.width == size.width &&
                       frame.height == size.height;
            },
            timeout);
    }

    void expectBarsInCapture(Resolution size) {
        pictavo_test::TempDir dir;
        ASSERT_EQ(family_->capture(0, dir.file("bars.jpg")), pictavo::kOk);
        lenvaro::jpeg::Image image;
        ASSERT_TRUE(lenvaro::jpeg::readFile(dir.file("bars.jpg"), image));
        ASSERT_EQ(image.width, size.width);
        ASSERT_EQ(image.height, size.height);
        ASSERT_EQ(image.components, 3);
        std::string means;
        EXPECT_LE(jpegBarsError(image, &means), kBarsTolerance) << "bar means: " << means;
    }

    std::unique_ptr<CameraFamily> family_;
};

TEST_F(VividCamera, EnumerationListsTheNodeWithTheFormatsWeConvertAndTheDriversSizes) {
    pictavo::CameraInfo info;
    ASSERT_EQ(family_->info(0, info), pictavo::kOk);
    EXPECT_EQ(info.type, 1);
    EXPECT_EQ(info.vid, "");  // a platform device, not USB
    int count = 0;
    ASSERT_EQ(family_->mediaTypeCount(0, count), pictavo::kOk);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(family_->mediaTypeName(0, i));
    // vivid offers 83 formats; only those the library converts are listed, in the driver's
    // order (Bayer, 10-bit grey, HSV and the rest are not).
    EXPECT_EQ(names, (std::vector<std::string>{"YUYV", "UYVY", "YVYU", "YU12", "YV12", "NV12",
                                               "NV21", "GREY", "RGBP", "RGB3", "BGR3"}));
    for (const char* format : {"YUYV", "NV12"}) {
        const int type = mediaType(format);
        ASSERT_GE(type, 0) << format;
        int sizes = 0;
        ASSERT_EQ(family_->resolutionCount(0, type, sizes), pictavo::kOk);
        std::vector<std::string> listed;
        for (int i = 0; i < sizes; ++i) {
            Resolution size;
            ASSERT_EQ(family_->resolution(0, type, i, size), pictavo::kOk);
            listed.push_back(std::to_string(size.width) + "x" + std::to_string(size.height));
        }
        EXPECT_EQ(listed, (std::vector<std::string>{"3840x2160", "1920x1080", "1280x720",
                                                    "640x480", "640x360", "320x180"}))
            << format;
    }
}

TEST_F(VividCamera, StreamsYuyvAndNv12AtTheChosenSizeIntoFramesAndCaptures) {
    struct Case {
        const char* format;
        Resolution size;
    } const cases[] = {{"YUYV", {640, 480}}, {"NV12", {640, 360}}, {"NV12", {1280, 720}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.size.width));
        const int type = mediaType(c.format);
        ASSERT_GE(type, 0);
        ASSERT_EQ(family_->open(0, type, c.size), pictavo::kOk);
        int first = -1;
        Resolution current;
        ASSERT_EQ(family_->currentResolution(0, first, current), pictavo::kOk);
        EXPECT_EQ(first, type);
        EXPECT_EQ(current, c.size);
        Frame frame;
        ASSERT_TRUE(frameOfSize(c.size, frame));
        std::string means;
        EXPECT_LE(frameBarsError(frame, &means), kBarsTolerance) << "bar means: " << means;
        expectBarsInCapture(c.size);
        EXPECT_EQ(family_->close(0), pictavo::kOk);
    }
}

TEST_F(VividCamera, RenegotiatesSizeAndMediaTypeWhileStreaming) {
    ASSERT_EQ(family_->open(0, mediaType("YUYV"), {1280, 720}), pictavo::kOk);
    Frame frame;
    ASSERT_TRUE(frameOfSize({1280, 720}, frame));
    EXPECT_EQ(vividFramesPerSecond(), 12);  // the fastest vivid offers at 1280 x 720: 12.5
    ASSERT_EQ(family_->setResolution(0, {640, 480}), pictavo::kOk);
    ASSERT_TRUE(frameOfSize({640, 480}, frame));
    EXPECT_LE(frameBarsError(frame), kBarsTolerance);
    // vivid lowers its rate for a large size and keeps it lowered; each start asks again for
    // the fastest it offers (25 frames a second at 640 x 480).
    EXPECT_EQ(vividFramesPerSecond(), 25);
    EXPECT_EQ(family_->setResolution(0, {800, 600}), pictavo::kInvalidArgument);  // not listed

    // NV12 lists 640 x 480 too: the size stays.
    const int nv12 = mediaType("NV12");
    ASSERT_EQ(family_->setMediaType(0, nv12), pictavo::kOk);
    int first = -1;
    Resolution current;
    ASSERT_EQ(family_->currentResolution(0, first, current), pictavo::kOk);
    EXPECT_EQ(first, nv12);
    EXPECT_EQ(current, (Resolution{640, 480}));
    ASSERT_TRUE(frameOfSize({640, 480}, frame));
    expectBarsInCapture({640, 480});
}

TEST_F(VividCamera, ControlsReachTheDriverAndTheOnesItLacksAreNotSupported) {
    using pictavo::device_control::AutoFocus;
    using pictavo::device_control::VideoParameter;
    ASSERT_EQ(family_->open(0, mediaType("YUYV"), {320, 180}), pictavo::kOk);
    Frame before;
    ASSERT_TRUE(frameOfSize({320, 180}, before));

    // Brightness, in the driver's own range (0 .. 255): the picture brightens.
    EXPECT_EQ(family_->control(0, VideoParameter{0, 0, 220, 2}), pictavo::kOk);
    EXPECT_EQ(Vivid::get(V4L2_CID_BRIGHTNESS), 220);
    const auto mean = [](const Frame& frame) {
        long sum = 0;
        for (const uint8_t v : frame.pixels) sum += v;
        return sum / static_cast<long>(frame.pixels.size());
    };
    Frame after;
    EXPECT_TRUE(eventually([&] {
        return family_->latestFrame(0, after) == pictavo::kOk && mean(after) > mean(before) + 20;
    }));
    EXPECT_EQ(family_->control(0, VideoParameter{0, 0, 300, 2}), pictavo::kInvalidArgument);
    EXPECT_EQ(family_->control(0, VideoParameter{0, 0, 0, 1}), pictavo::kOk);  // the default
    EXPECT_EQ(Vivid::get(V4L2_CID_BRIGHTNESS), 128);

    // Gain has an automatic: manual switches it off first, automatic on again.
    EXPECT_EQ(family_->control(0, VideoParameter{0, 8, 50, 2}), pictavo::kOk);
    EXPECT_EQ(Vivid::get(V4L2_CID_AUTOGAIN), 0);
    EXPECT_EQ(Vivid::get(V4L2_CID_GAIN), 50);
    EXPECT_EQ(family_->control(0, VideoParameter{0, 8, 0, 1}), pictavo::kOk);
    EXPECT_EQ(Vivid::get(V4L2_CID_AUTOGAIN), 1);
    EXPECT_EQ(family_->control(0, VideoParameter{0, 2, -20, 2}), pictavo::kOk);  // hue
    EXPECT_EQ(Vivid::get(V4L2_CID_HUE), -20);
    EXPECT_EQ(family_->control(0, VideoParameter{0, 2, 0, 1}), pictavo::kOk);

    // What vivid has no control for answers "not supported", never a false success.
    EXPECT_EQ(family_->control(0, VideoParameter{0, 6, 4000, 2}), pictavo::kNotSupported);
    EXPECT_EQ(family_->control(0, VideoParameter{1, 6, 100, 2}), pictavo::kNotSupported);
    EXPECT_EQ(family_->control(0, VideoParameter{1, 4, -6, 1}), pictavo::kNotSupported);
    for (const int type : {0, 1, 2})
        EXPECT_EQ(family_->control(0, AutoFocus{type}), pictavo::kNotSupported) << type;

    // The same on a closed camera: the node is opened for the call.
    ASSERT_EQ(family_->close(0), pictavo::kOk);
    EXPECT_EQ(family_->control(0, VideoParameter{0, 1, 140, 2}), pictavo::kOk);
    EXPECT_EQ(Vivid::get(V4L2_CID_CONTRAST), 140);
    EXPECT_EQ(family_->control(0, VideoParameter{0, 1, 0, 1}), pictavo::kOk);
}

TEST_F(VividCamera, ADisconnectMidStreamIsAnUnplugAndTheCameraComesBack) {
    ASSERT_EQ(family_->open(0, mediaType("YUYV"), {320, 180}), pictavo::kOk);
    Frame frame;
    ASSERT_TRUE(frameOfSize({320, 180}, frame));
    ASSERT_EQ(Vivid::set("disconnect", 1), 0);
    // Once the camera knows, captures fail at once rather than hand out the last frame again.
    pictavo_test::TempDir dir;
    EXPECT_TRUE(eventually([&] { return family_->capture(0, dir.file("late.jpg")) == pictavo::kNoDevice; }, 3s));
    EXPECT_EQ(family_->capture(0, dir.file("gone.jpg")), pictavo::kNoDevice);
    EXPECT_FALSE(std::filesystem::exists(dir.file("gone.jpg")));
    // The device returns once every handle is closed; the next counts close ours and see it.
    EXPECT_TRUE(eventually([&] { return family_->count() == 1 && Vivid::set("brightness", 128) == 0; }));
    Vivid::drawColourBars();
    ASSERT_EQ(family_->open(0, mediaType("YUYV"), {320, 180}), pictavo::kOk);
    ASSERT_TRUE(frameOfSize({320, 180}, frame));
    EXPECT_LE(frameBarsError(frame), kBarsTolerance);
}

TEST_F(VividCamera, UnbindingTakesTheCameraAwayAndBindingBringsItBack) {
    ASSERT_EQ(family_->open(0, mediaType("YUYV"), {320, 180}), pictavo::kOk);
    Frame frame;
    ASSERT_TRUE(frameOfSize({320, 180}, frame));
    ASSERT_TRUE(Vivid::unbind());
    EXPECT_TRUE(eventually([&] { return family_->count() == 0; }));
    pictavo_test::TempDir dir;
    EXPECT_EQ(family_->capture(0, dir.file("gone.jpg")), pictavo::kNoDevice);
    EXPECT_EQ(family_->open(0, 0, {320, 180}), pictavo::kNoDevice);

    ASSERT_TRUE(Vivid::bind());
    ASSERT_TRUE(eventually([&] { return family_->count() == 1; }));
    EXPECT_EQ(family_->name(0), "vivid");
    Vivid::drawColourBars();  // a new instance starts with its defaults
    ASSERT_EQ(family_->open(0, mediaType("YUYV"), {320, 180}), pictavo::kOk);
    ASSERT_TRUE(frameOfSize({320, 180}, frame));
    EXPECT_LE(frameBarsError(frame), kBarsTolerance);
}

// The camera on its own, to see its counters.
class CountingSink final : public pictavo::FrameSink {
  public:
    void onFrame(Frame&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++frames;
        changed_.notify_all();
    }
    void onDeviceLost() override { lost.store(true); }
    bool waitFor(int count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return frames >= count; });
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames;
    }
    std::atomic<bool> lost{false};

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int frames = 0;
};

TEST_F(VividCamera, AFatalStreamingErrorRestartsTheStreamAndDamagedBuffersAreSkipped) {
    family_.reset();  // the camera is used on its own here
    auto nodes = pictavo::findV4l2CaptureNodes("/", *pictavo::systemV4l2Io());
    ASSERT_EQ(nodes.size(), 1u);
    pictavo::V4l2Camera camera(nodes.front(), pictavo::systemV4l2Io());
    CountingSink sink;
    camera.setFrameSink(&sink);
    ASSERT_EQ(camera.open(0, {320, 180}), pictavo::kOk);
    ASSERT_TRUE(sink.waitFor(2));

    ASSERT_EQ(Vivid::set("inject_v4l2_buf_flag_error", 1), 0);
    EXPECT_TRUE(eventually([&] { return camera.framesDamaged() >= 1; }));

    ASSERT_EQ(Vivid::set("inject_fatal_streaming_error", 1), 0);
    EXPECT_TRUE(eventually([&] { return camera.streamRestarts() >= 1; }));
    const int before = sink.count();
    EXPECT_TRUE(sink.waitFor(before + 3)) << "no frame after the restart";
    EXPECT_FALSE(camera.lost());
    EXPECT_FALSE(sink.lost.load());
    EXPECT_EQ(camera.close(), pictavo::kOk);
}

}  // namespace
}  // namespace lenvaro_devices
