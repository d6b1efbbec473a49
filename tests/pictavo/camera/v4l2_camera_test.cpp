// A V4L2 camera on a scripted device: streaming through mapped buffers, dropping rather than
// queueing, renegotiating, controls, and the failures (busy, permission denied, unplugged
// while streaming) that must end in a status, never a crash or a hang.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "pictavo/camera/v4l2_camera.h"
#include "pictavo/status.h"
#include "v4l2_fake_device.h"

namespace {

using namespace std::chrono_literals;
using pictavo::Frame;
using pictavo::Resolution;
using pictavo::V4l2Camera;
using pictavo_test::FakeV4l2Device;
using pictavo_test::FakeV4l2Io;

constexpr uint8_t kRedYuv[3] = {76, 85, 255};
constexpr uint8_t kBlueYuv[3] = {29, 255, 107};

// Collects what the camera delivers; can be made slow, like a busy preview callback.
class RecordingSink final : public pictavo::FrameSink {
  public:
    void onFrame(Frame& frame) override {
        entered.fetch_add(1);
        if (delay.count() > 0) std::this_thread::sleep_for(delay);
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(frame);
        arrived_.notify_all();
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout = 3s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
    }
    std::vector<Frame> frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    std::chrono::milliseconds delay{0};
    std::atomic<int> entered{0};
    std::atomic<bool> lost{false};
    void onDeviceLost() override { lost.store(true); }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Frame> frames_;
};

struct Rig {
    Rig() : io(std::make_shared<FakeV4l2Io>()), device(std::make_shared<FakeV4l2Device>()) {
        device->formats = {
            {V4L2_PIX_FMT_YUYV, {{64, 32}, {32, 16}}},
            {V4L2_PIX_FMT_MJPEG, {{128, 64}, {64, 32}}},
        };
        io->devices["/dev/video0"] = device;
        pictavo::V4l2NodeInfo node;
        node.devicePath = "/dev/video0";
        node.name = "Fake Document Camera";
        node.vendorId = "046D";
        node.productId = "0825";
        node.serial = "SN1";
        node.identity = "video0";
        pictavo_test::FakeHandle handle(device);
        node.formats = pictavo::queryFormats(handle);
        camera = std::make_unique<V4l2Camera>(node, io);
        camera->setFrameSink(&sink);
    }
    std::vector<uint8_t> frame(int w, int h) const {
        return pictavo_test::yuyvFrame(w, h, kRedYuv, kBlueYuv);
    }

    std::shared_ptr<FakeV4l2Io> io;
    std::shared_ptr<FakeV4l2Device> device;
    RecordingSink sink;
    std::unique_ptr<V4l2Camera> camera;
};

TEST(V4l2Camera, StreamsConvertedFramesAndGivesEverythingBackOnClose) {
    Rig rig;
    const auto info = rig.camera->info();
    EXPECT_EQ(info.name, "Fake Document Camera");
    EXPECT_EQ(info.vid, "046D");
    EXPECT_EQ(info.pid, "0825");
    EXPECT_EQ(info.serial, "SN1");
    ASSERT_EQ(rig.camera->mediaTypes().size(), 2u);

    ASSERT_EQ(rig.camera->open(0, {0, 0}), pictavo::kOk);  // 0 x 0: the largest size
    int type = -1;
    Resolution size;
    ASSERT_EQ(rig.camera->current(type, size), pictavo::kOk);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(size, (Resolution{64, 32}));
    EXPECT_EQ(rig.device->format().pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(rig.device->mappings(), 4);

    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(rig.device->waitStreaming());
        ASSERT_TRUE(rig.device->produce(rig.frame(64, 32)));
        ASSERT_TRUE(rig.sink.waitFor(static_cast<size_t>(i + 1)));
    }
    const Frame first = rig.sink.frames().front();
    ASSERT_EQ(first.width, 64);
    ASSERT_EQ(first.height, 32);
    const uint8_t* top = first.row(0);
    EXPECT_GT(top[2], 230);  // red at the top
    EXPECT_LT(top[0], 25);
    EXPECT_GT(first.pixels[0], 230);  // blue in the first bytes: the bottom row
    EXPECT_EQ(rig.camera->framesDelivered(), 3u);

    EXPECT_EQ(rig.camera->close(), pictavo::kOk);
    EXPECT_FALSE(rig.device->streaming());
    EXPECT_EQ(rig.device->mappings(), 0);
    EXPECT_EQ(rig.device->allocatedBuffers(), 0u);
    EXPECT_EQ(rig.device->openHandles(), 0);
    EXPECT_EQ(rig.camera->current(type, size), pictavo::kNoDevice);
}

TEST(V4l2Camera, ASlowConsumerGetsTheNewestFrameAndOlderOnesAreDropped) {
    Rig rig;
    rig.sink.delay = 300ms;
    ASSERT_EQ(rig.camera->open(0, {64, 32}), pictavo::kOk);
    ASSERT_TRUE(rig.device->waitStreaming());
    // One frame keeps the consumer busy; meanwhile the driver fills the three other buffers.
    ASSERT_TRUE(rig.device->produce(rig.frame(64, 32)));
    for (int i = 0; i < 300 && rig.sink.entered.load() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(rig.sink.entered.load(), 1);
    const uint8_t white[3] = {255, 128, 128};
    ASSERT_TRUE(rig.device->produce(rig.frame(64, 32)));
    ASSERT_TRUE(rig.device->produce(rig.frame(64, 32)));
    ASSERT_TRUE(rig.device->produce(pictavo_test::yuyvFrame(64, 32, white, white)));
    // A fifth frame finds no free buffer: the driver drops it, nothing grows.
    EXPECT_FALSE(rig.device->produce(rig.frame(64, 32)));
    ASSERT_TRUE(rig.sink.waitFor(2));
    std::this_thread::sleep_for(400ms);
    const auto frames = rig.sink.frames();
    ASSERT_EQ(frames.size(), 2u);  // the first and the newest; the two between were dropped
    EXPECT_GT(frames[1].row(0)[1], 230);  // the white one
    EXPECT_EQ(rig.camera->framesDropped(), 2u);
    EXPECT_EQ(rig.camera->close(), pictavo::kOk);
    EXPECT_EQ(rig.device->mappings(), 0);
}

TEST(V4l2Camera, OpenChecksTheListAndRenegotiates) {
    Rig rig;
    EXPECT_EQ(rig.camera->open(2, {0, 0}), pictavo::kInvalidArgument);
    EXPECT_EQ(rig.camera->open(0, {100, 100}), pictavo::kInvalidArgument);
    EXPECT_EQ(rig.camera->setResolution({32, 16}), pictavo::kNoDevice);  // not open
    EXPECT_EQ(rig.device->openHandles(), 0);

    ASSERT_EQ(rig.camera->open(0, {64, 32}), pictavo::kOk);
    EXPECT_EQ(rig.camera->setResolution({128, 64}), pictavo::kInvalidArgument);  // MJPG only
    ASSERT_EQ(rig.camera->setResolution({32, 16}), pictavo::kOk);
    EXPECT_EQ(rig.device->format().width, 32u);
    ASSERT_TRUE(rig.device->waitStreaming());
    ASSERT_TRUE(rig.device->produce(rig.frame(32, 16)));
    ASSERT_TRUE(rig.sink.waitFor(1));
    EXPECT_EQ(rig.sink.frames().back().width, 32);

    // Motion-JPEG has no 32 x 16: its first size is taken.
    ASSERT_EQ(rig.camera->setMediaType(1), pictavo::kOk);
    int type = -1;
    Resolution size;
    ASSERT_EQ(rig.camera->current(type, size), pictavo::kOk);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(size, (Resolution{128, 64}));
    EXPECT_EQ(rig.device->format().pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(rig.camera->setMediaType(5), pictavo::kInvalidArgument);
    EXPECT_EQ(rig.device->openHandles(), 1);  // one session at a time
    rig.camera->close();
    EXPECT_EQ(rig.device->openHandles(), 0);
}

TEST(V4l2Camera, EachStartAsksForTheFastestRateUpToThirtyFrames) {
    Rig rig;
    rig.device->formats[0].framesPerSecond = {5, 60, 15, 30};
    rig.device->formats[1].framesPerSecond = {15, 5};
    ASSERT_EQ(rig.camera->open(0, {64, 32}), pictavo::kOk);
    EXPECT_EQ(rig.device->framesPerSecond(), 30u);
    ASSERT_EQ(rig.camera->setMediaType(1), pictavo::kOk);
    EXPECT_EQ(rig.device->framesPerSecond(), 15u);
    rig.camera->close();
}

TEST(V4l2Camera, ARenegotiationTheDeviceRefusesSaysNoFrameWillCome) {
    Rig rig;
    ASSERT_EQ(rig.camera->open(0, {64, 32}), pictavo::kOk);
    ASSERT_EQ(rig.device->streamOns(), 1);
    // Another program took the buffers: neither the new size nor the old one can stream.
    rig.device->busyOn = VIDIOC_REQBUFS;
    EXPECT_EQ(rig.camera->setResolution({32, 16}), pictavo::kFailed);
    EXPECT_TRUE(rig.sink.lost.load());  // captures now answer "no device" at once
    int type = 0;
    Resolution size;
    EXPECT_EQ(rig.camera->current(type, size), pictavo::kNoDevice);
    rig.device->busyOn = 0;
    EXPECT_EQ(rig.device->openHandles(), 0);
    EXPECT_EQ(rig.device->mappings(), 0);
    // Opening again starts afresh.
    EXPECT_EQ(rig.camera->open(0, {64, 32}), pictavo::kOk);
    rig.camera->close();
}

TEST(V4l2Camera, BusyAndPermissionDeniedAreStatusesAndLeakNothing) {
    Rig rig;
    rig.device->busyOn = VIDIOC_S_FMT;  // another program streams from the camera
    EXPECT_EQ(rig.camera->open(0, {0, 0}), pictavo::kFailed);
    rig.device->busyOn = VIDIOC_STREAMON;  // no USB bandwidth left, say
    EXPECT_EQ(rig.camera->open(0, {0, 0}), pictavo::kFailed);
    EXPECT_EQ(rig.device->openHandles(), 0);
    EXPECT_EQ(rig.device->mappings(), 0);
    EXPECT_EQ(rig.device->allocatedBuffers(), 0u);
    rig.device->busyOn = 0;

    rig.io->errors["/dev/video0"] = EACCES;  // not in the video group
    EXPECT_EQ(rig.camera->open(0, {0, 0}), pictavo::kFileError);
    EXPECT_EQ(rig.camera->control(pictavo::device_control::AutoFocus{1}), pictavo::kFileError);
    rig.io->errors["/dev/video0"] = ENOENT;  // unplugged before the open
    EXPECT_EQ(rig.camera->open(0, {0, 0}), pictavo::kNoDevice);
    rig.io->errors.clear();
    EXPECT_EQ(rig.camera->open(0, {0, 0}), pictavo::kOk);
    rig.camera->close();
}

TEST(V4l2Camera, ACameraFoundWithoutPermissionOpensOnceAllowed) {
    auto io = std::make_shared<FakeV4l2Io>();
    auto device = std::make_shared<FakeV4l2Device>();
    device->formats = {{V4L2_PIX_FMT_YUYV, {{64, 32}}}};
    io->devices["/dev/video3"] = device;
    io->errors["/dev/video3"] = EACCES;
    pictavo::V4l2NodeInfo node;
    node.devicePath = "/dev/video3";
    node.name = "Locked";
    node.openError = EACCES;
    V4l2Camera camera(node, io);
    EXPECT_TRUE(camera.mediaTypes().empty());
    EXPECT_EQ(camera.open(0, {0, 0}), pictavo::kFileError);
    io->errors.clear();  // the user was added to the group and logged in again
    EXPECT_EQ(camera.open(0, {0, 0}), pictavo::kOk);
    ASSERT_EQ(camera.mediaTypes().size(), 1u);
    camera.close();
}

TEST(V4l2Camera, UnpluggedWhileStreamingStopsTheThreadAndClosesPromptly) {
    Rig rig;
    ASSERT_EQ(rig.camera->open(0, {64, 32}), pictavo::kOk);
    ASSERT_TRUE(rig.device->waitStreaming());
    ASSERT_TRUE(rig.device->produce(rig.frame(64, 32)));
    ASSERT_TRUE(rig.sink.waitFor(1));
    rig.device->unplug();
    for (int i = 0; i < 100 && !rig.camera->lost(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(rig.camera->lost());
    EXPECT_EQ(rig.camera->setResolution({32, 16}), pictavo::kNoDevice);
    EXPECT_EQ(rig.camera->control(pictavo::device_control::AutoFocus{1}), pictavo::kNoDevice);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.camera->close(), pictavo::kOk);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);  // no hang
    EXPECT_EQ(rig.device->openHandles(), 0);
    EXPECT_EQ(rig.device->mappings(), 0);
}

TEST(V4l2Camera, AStreamingErrorRestartsTheStreamAndDamagedFramesAreSkipped) {
    Rig rig;
    ASSERT_EQ(rig.camera->open(0, {64, 32}), pictavo::kOk);
    ASSERT_TRUE(rig.device->waitStreaming());
    // A buffer the driver marks as damaged never reaches the consumer.
    ASSERT_TRUE(rig.device->produce(rig.frame(64, 32), V4L2_BUF_FLAG_ERROR));
    ASSERT_TRUE(rig.device->waitRequeued(1));
    EXPECT_EQ(rig.camera->framesDamaged(), 1u);
    EXPECT_EQ(rig.sink.frames().size(), 0u);

    rig.device->failStream();
    for (int i = 0; i < 300 && rig.device->streamOns() < 2; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(rig.device->streamOns(), 2);
    ASSERT_TRUE(rig.device->waitStreaming());
    ASSERT_TRUE(rig.device->produce(rig.frame(64, 32)));
    ASSERT_TRUE(rig.sink.waitFor(1));
    EXPECT_FALSE(rig.camera->lost());
    EXPECT_EQ(rig.camera->streamRestarts(), 1u);
    EXPECT_EQ(rig.camera->close(), pictavo::kOk);
    EXPECT_EQ(rig.device->mappings(), 0);
}

TEST(V4l2Camera, AStreamThatCannotBeRestartedIsLost) {
    Rig rig;
    ASSERT_EQ(rig.camera->open(0, {64, 32}), pictavo::kOk);
    ASSERT_TRUE(rig.device->waitStreaming());
    rig.device->busyOn = VIDIOC_STREAMON;
    rig.device->failStream();
    for (int i = 0; i < 300 && !rig.sink.lost.load(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(rig.sink.lost.load());
    EXPECT_TRUE(rig.camera->lost());
    rig.device->busyOn = 0;
    EXPECT_EQ(rig.camera->close(), pictavo::kOk);
    EXPECT_EQ(rig.device->openHandles(), 0);
}

TEST(V4l2Camera, ControlsMapToV4l2AndMissingOnesAreNotSupported) {
    Rig rig;
    auto& c = rig.device->controls;
    c[V4L2_CID_BRIGHTNESS] = {0, 255, 128, 128};
    c[V4L2_CID_WHITE_BALANCE_TEMPERATURE] = {2800, 6500, 4600, 4600};
    c[V4L2_CID_AUTO_WHITE_BALANCE] = {0, 1, 1, 1};
    c[V4L2_CID_EXPOSURE_AUTO] = {0, 3, 3, 3};
    c[V4L2_CID_EXPOSURE_ABSOLUTE] = {3, 2047, 250, 250};
    c[V4L2_CID_FOCUS_AUTO] = {0, 1, 1, 1};
    using pictavo::device_control::AutoFocus;
    using pictavo::device_control::VideoParameter;
    auto& camera = *rig.camera;

    // Works on a closed camera too (the node is opened for the call).
    EXPECT_EQ(camera.control(VideoParameter{0, 0, 200, 2}), pictavo::kOk);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_BRIGHTNESS), 200);
    EXPECT_EQ(camera.control(VideoParameter{0, 0, 0, 1}), pictavo::kOk);  // automatic: default
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_BRIGHTNESS), 128);
    EXPECT_EQ(camera.control(VideoParameter{0, 0, 300, 2}), pictavo::kInvalidArgument);

    ASSERT_EQ(camera.open(0, {0, 0}), pictavo::kOk);
    // Manual white balance switches the device's automatic off first.
    EXPECT_EQ(camera.control(VideoParameter{0, 6, 3200, 2}), pictavo::kOk);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_AUTO_WHITE_BALANCE), 0);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_WHITE_BALANCE_TEMPERATURE), 3200);
    EXPECT_EQ(camera.control(VideoParameter{0, 6, 0, 1}), pictavo::kOk);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_AUTO_WHITE_BALANCE), 1);
    // Exposure: manual mode, then the value in the device's own units.
    EXPECT_EQ(camera.control(VideoParameter{1, 4, 500, 2}), pictavo::kOk);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_MANUAL);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_EXPOSURE_ABSOLUTE), 500);
    EXPECT_EQ(camera.control(VideoParameter{1, 4, 0, 1}), pictavo::kOk);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_APERTURE_PRIORITY);

    EXPECT_EQ(camera.control(VideoParameter{0, 2, 10, 2}), pictavo::kNotSupported);  // no hue
    EXPECT_EQ(camera.control(VideoParameter{1, 2, 10, 2}), pictavo::kNotSupported);  // roll
    EXPECT_EQ(camera.control(VideoParameter{0, 9, 10, 2}), pictavo::kInvalidArgument);
    EXPECT_EQ(camera.control(VideoParameter{0, 0, 10, 3}), pictavo::kInvalidArgument);

    EXPECT_EQ(camera.control(AutoFocus{2}), pictavo::kOk);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_FOCUS_AUTO), 0);
    EXPECT_EQ(camera.control(AutoFocus{1}), pictavo::kOk);
    EXPECT_EQ(rig.device->controlValue(V4L2_CID_FOCUS_AUTO), 1);
    EXPECT_EQ(camera.control(AutoFocus{0}), pictavo::kNotSupported);  // no one-shot focus
    EXPECT_EQ(camera.control(AutoFocus{7}), pictavo::kInvalidArgument);
    EXPECT_EQ(camera.control(pictavo::device_control::Buzzer{1, 100, 100}),
              pictavo::kNotSupported);
    camera.close();
}

}  // namespace
