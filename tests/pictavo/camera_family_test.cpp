// The camera family over devices a later registry will find, here recording fakes: indexes reach
// the right device, callbacks stay with their device, and work without a pipeline is never
// reported as done.
#include "pictavo/camera/camera_family.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pictavo/status.h"

namespace {

using namespace pictavo;

struct CameraLog {
    std::vector<std::string> calls;
    int openResult = kOk;
};

class FakeCamera final : public Camera {
  public:
    FakeCamera(std::string name, std::shared_ptr<CameraLog> log)
        : name_(std::move(name)), log_(std::move(log)) {}

    CameraInfo info() const override {
        return CameraInfo{name_, 7, "pid-" + name_, "vid-" + name_, "sn-" + name_, "cus-" + name_};
    }
    std::vector<MediaType> mediaTypes() const override {
        return {{"MJPG", {{1920, 1080}, {1280, 720}, {640, 480}}}, {"YUY2", {{640, 480}}}};
    }
    int open(int mediaType, Resolution size) override {
        log_->calls.push_back("open " + std::to_string(mediaType) + " " +
                              std::to_string(size.width) + "x" + std::to_string(size.height));
        return log_->openResult;
    }
    int close() override {
        log_->calls.push_back("close");
        return kOk;
    }

  private:
    std::string name_;
    std::shared_ptr<CameraLog> log_;
};

// Two fake cameras, "A" at index 0 and "B" at index 1.
class CameraFamilyTest : public testing::Test {
  protected:
    CameraFamilyTest() : family_(makeCameras()) {}

    std::vector<std::unique_ptr<Camera>> makeCameras() {
        std::vector<std::unique_ptr<Camera>> cameras;
        cameras.push_back(std::make_unique<FakeCamera>("A", logA_));
        cameras.push_back(std::make_unique<FakeCamera>("B", logB_));
        return cameras;
    }

    std::shared_ptr<CameraLog> logA_ = std::make_shared<CameraLog>();
    std::shared_ptr<CameraLog> logB_ = std::make_shared<CameraLog>();
    CameraFamily family_;
};

struct Received {
    int calls = 0;
    int width = 0;
    int height = 0;
};
Received received;

bool recordFrame(uint8_t*, int width, int height, int) {
    ++received.calls;
    received.width = width;
    received.height = height;
    return true;
}

bool ignoreEvent(int) { return true; }

TEST_F(CameraFamilyTest, IndexesReachTheirOwnDeviceAndNoOther) {
    EXPECT_EQ(family_.count(), 2);
    EXPECT_EQ(family_.name(0), "A");
    EXPECT_EQ(family_.name(1), "B");
    for (int missing : {-1, 2, 1000}) {
        EXPECT_EQ(family_.name(missing), "");
        EXPECT_FALSE(family_.exists(missing));
        EXPECT_EQ(family_.open(missing, 0, {640, 480}), kNoDevice);
        CameraInfo info;
        EXPECT_EQ(family_.info(missing, info), kNoDevice);
    }
    EXPECT_TRUE(logA_->calls.empty());
    EXPECT_TRUE(logB_->calls.empty());

    CameraInfo info;
    ASSERT_EQ(family_.info(1, info), kOk);
    EXPECT_EQ(info.serial, "sn-B");
    EXPECT_EQ(info.type, 7);
}

TEST_F(CameraFamilyTest, MediaTypesAndResolutionsAreLookedUpPerMediaType) {
    int count = 0;
    ASSERT_EQ(family_.mediaTypeCount(0, count), kOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(family_.mediaTypeName(0, 1), "YUY2");
    EXPECT_EQ(family_.mediaTypeName(0, 2), "");
    EXPECT_EQ(family_.mediaTypeName(0, -1), "");

    ASSERT_EQ(family_.resolutionCount(0, 0, count), kOk);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(family_.resolutionCount(0, 1, count), kOk);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(family_.resolutionCount(0, 2, count), kInvalidArgument);

    Resolution size;
    ASSERT_EQ(family_.resolution(0, 0, 1, size), kOk);
    EXPECT_EQ(size.width, 1280);
    EXPECT_EQ(size.height, 720);
    EXPECT_EQ(family_.resolution(0, 1, 1, size), kInvalidArgument);
    EXPECT_EQ(family_.resolution(0, -1, 0, size), kInvalidArgument);
    EXPECT_EQ(family_.resolution(0, 0, -1, size), kInvalidArgument);
}

TEST_F(CameraFamilyTest, OpenAndCloseReachTheDeviceOnlyWhenNeeded) {
    ASSERT_EQ(family_.open(1, 0, {1280, 720}), kOk);
    EXPECT_EQ(logB_->calls, std::vector<std::string>({"open 0 1280x720"}));

    EXPECT_EQ(family_.close(0), kOk) << "closing a closed device succeeds";
    EXPECT_TRUE(logA_->calls.empty()) << "and does not bother the device";

    ASSERT_EQ(family_.close(1), kOk);
    ASSERT_EQ(family_.close(1), kOk);
    EXPECT_EQ(logB_->calls, std::vector<std::string>({"open 0 1280x720", "close"}));
}

TEST_F(CameraFamilyTest, UnInitClosesExactlyTheOpenDevices) {
    logA_->openResult = kFailed;
    EXPECT_EQ(family_.open(0, 0, {640, 480}), kFailed);
    ASSERT_EQ(family_.open(1, 0, {640, 480}), kOk);

    EXPECT_EQ(family_.uninit(), kOk);
    EXPECT_EQ(logA_->calls, std::vector<std::string>({"open 0 640x480"}))
        << "a device that failed to open is not closed";
    EXPECT_EQ(logB_->calls, std::vector<std::string>({"open 0 640x480", "close"}));

    EXPECT_EQ(family_.uninit(), kOk);
    EXPECT_EQ(logB_->calls.size(), 2u) << "nothing is open any more";
}

TEST_F(CameraFamilyTest, PreviewCallbacksStayWithTheirDevice) {
    received = {};
    uint8_t pixel[3] = {};
    EXPECT_FALSE(family_.deliverPreviewFrame(1, pixel, 1, 1)) << "nothing registered yet";

    ASSERT_EQ(family_.setPreviewCallback(1, recordFrame), kOk);
    EXPECT_FALSE(family_.deliverPreviewFrame(0, pixel, 1, 1));
    EXPECT_FALSE(family_.deliverPreviewFrame(5, pixel, 1, 1));
    EXPECT_EQ(received.calls, 0);

    EXPECT_TRUE(family_.deliverPreviewFrame(1, pixel, 64, 48));
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.width, 64);
    EXPECT_EQ(received.height, 48);

    ASSERT_EQ(family_.setPreviewCallback(1, nullptr), kOk);
    EXPECT_FALSE(family_.deliverPreviewFrame(1, pixel, 64, 48)) << "a null callback unregisters";

    ASSERT_EQ(family_.setPreviewCallback(1, recordFrame), kOk);
    family_.uninit();
    EXPECT_FALSE(family_.deliverPreviewFrame(1, pixel, 64, 48)) << "uninit forgets callbacks";
    EXPECT_EQ(received.calls, 1);
}

TEST_F(CameraFamilyTest, WorkThatNeedsFramesNeedsAnOpenDevice) {
    int first = 0;
    Resolution size;
    for (int dev : {0, 1}) {
        SCOPED_TRACE(dev);
        EXPECT_EQ(family_.capture(dev, "/tmp/x.jpg"), kNoDevice);
        EXPECT_EQ(family_.setResolution(dev, {640, 480}), kNoDevice);
        EXPECT_EQ(family_.currentResolution(dev, first, size), kNoDevice);
        EXPECT_EQ(family_.setMediaType(dev, 0), kNoDevice);
        EXPECT_EQ(family_.startRecord(dev, RecordRequest{"/tmp/x.avi", -1, 0, 1}), kNoDevice);
        EXPECT_EQ(family_.stopRecord(dev), kFailed) << "nothing is being recorded";
        EXPECT_EQ(family_.startAutoCapture(dev, 0, 0, ignoreEvent), kNoDevice);
        EXPECT_FALSE(family_.deliverAutoCaptureEvent(dev, 1))
            << "auto capture did not start, so its callback is not kept";
        EXPECT_EQ(family_.showSettingsWindow(dev, SettingsWindow::kDevice), kNotSupported);
        EXPECT_EQ(family_.setImageOption(dev, image_option::Dpi{300, 300}), kOk)
            << "settings are kept for the next capture, open or not";
        EXPECT_EQ(family_.control(dev, device_control::AutoFocus{0}), kNotSupported)
            << "a device without controls says so";
    }
    EXPECT_EQ(family_.capture(2, "/tmp/x.jpg"), kNoDevice);
    EXPECT_EQ(family_.setImageOption(2, image_option::Dpi{300, 300}), kNoDevice);
    EXPECT_TRUE(logA_->calls.empty());

    ASSERT_EQ(family_.open(1, 0, {640, 480}), kOk);
    EXPECT_EQ(family_.setResolution(1, {1280, 720}), kNotSupported) << "the device's own answer";
}

TEST_F(CameraFamilyTest, BookCaptureNeedsAnOpenDevice) {
    EXPECT_EQ(family_.captureBook("/tmp/a.jpg", "/tmp/b.jpg"), kNoDevice);
    EXPECT_EQ(family_.setRemoveFinger(1), kOk);
}

TEST_F(CameraFamilyTest, FramesCanBeDeliveredWhileOtherThreadsOpenAndClose) {
    std::atomic<bool> stop{false};
    std::thread frames([&] {
        uint8_t pixel[3] = {};
        while (!stop) family_.deliverPreviewFrame(0, pixel, 1, 1);
    });
    for (int i = 0; i < 500; ++i) {
        family_.setPreviewCallback(0, i % 2 ? recordFrame : nullptr);
        family_.open(0, 0, {640, 480});
        family_.close(0);
    }
    stop = true;
    frames.join();
    EXPECT_EQ(family_.close(0), kOk);
}

TEST(CameraFamily, WithoutCamerasEverythingIsNoDevice) {
    CameraFamily none;
    int count = 3;
    EXPECT_EQ(none.count(), 0);
    EXPECT_EQ(none.mediaTypeCount(0, count), kNoDevice);
    EXPECT_EQ(none.setPreviewCallback(0, recordFrame), kNoDevice);
    EXPECT_EQ(none.init(), kOk);
    EXPECT_EQ(none.uninit(), kOk);
    EXPECT_TRUE(none.audioDevices().empty());
    EXPECT_TRUE(none.videoEncoders().empty());
}

}  // namespace
