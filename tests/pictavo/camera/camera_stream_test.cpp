// Simulated cameras in the camera family, as the C interface drives them: frames arrive through
// the preview callback in the frame layout, captures and recordings come from the live frames,
// auto capture reports turned pages with the armed value, and callbacks may call back into the
// library (capture, even close) without anything locking up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../temp_dir.h"
#include "camera_test_support.h"
#include "pictavo/camera/audio_devices.h"
#include "pictavo/camera/camera_family.h"
#include "pictavo/camera/simulated_camera.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using namespace std::chrono_literals;
using pictavo_test::Rgb;

// What the C callbacks saw; they cannot capture state, so it is global.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    int frames = 0;
    int width = 0;
    int height = 0;
    Rgb bottomLeft{};  // the first pixel in memory
    std::vector<int> events;
    std::vector<std::string> captured;
    std::vector<int> captureResults;

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        frames = width = height = 0;
        events.clear();
        captured.clear();
        captureResults.clear();
    }
    template <typename Predicate>
    bool waitFor(Predicate predicate, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, predicate);
    }
};
Seen seen;
CameraFamily* family = nullptr;        // the family the callbacks call back into
std::string captureDirectory;          // where the auto-capture callback writes
std::atomic<int> sleepInPreviewMs{0};  // a slow page
std::atomic<bool> closeFromPreview{false};

bool onPreview(uint8_t* pixels, int width, int height, int) {
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        ++seen.frames;
        seen.width = width;
        seen.height = height;
        seen.bottomLeft = {pixels[2], pixels[1], pixels[0]};
    }
    seen.changed.notify_all();
    // The callee may draw into the frame.
    pixels[0] = pixels[1] = pixels[2] = 0;
    if (sleepInPreviewMs.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepInPreviewMs.load()));
    if (closeFromPreview.exchange(false)) family->close(0);
    return true;
}

// Like the service: on the armed event, capture a numbered file from inside the callback.
bool onAutoCapture(int event) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.events.push_back(event);
        path = captureDirectory + "/page" + std::to_string(seen.events.size()) + ".jpg";
    }
    const int result = family->capture(0, path);
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.captured.push_back(path);
        seen.captureResults.push_back(result);
    }
    seen.changed.notify_all();
    return true;
}

class CameraStreamTest : public testing::Test {
  protected:
    void SetUp() override {
        seen.reset();
        sleepInPreviewMs = 0;
        closeFromPreview = false;
        captureDirectory = dir_.path().string();
    }
    void TearDown() override {
        if (family_) family_->uninit();
        family = nullptr;
    }

    // One simulated document camera at `fps`, turning pages every `turn` in auto capture.
    void makeFamily(int fps = 30, std::chrono::milliseconds turn = 400ms) {
        SimulatedCameraSpec spec;
        spec.info.name = "Test Document Camera";
        spec.mediaTypes = {{"MJPG", {{1280, 720}, {640, 480}, {320, 240}}},
                           {"YUY2", {{640, 480}, {320, 240}}}};
        spec.framesPerSecond = fps;
        spec.pageTurnInterval = turn;
        auto camera = std::make_unique<SimulatedCamera>(spec, std::make_unique<DocumentScene>());
        camera_ = camera.get();
        std::vector<std::unique_ptr<Camera>> cameras;
        cameras.push_back(std::move(camera));
        family_ = std::make_unique<CameraFamily>(std::move(cameras));
        family = family_.get();
    }

    lenvaro::jpeg::Image readJpeg(const std::string& path) {
        lenvaro::jpeg::Image image;
        EXPECT_TRUE(lenvaro::jpeg::readFile(path, image)) << path;
        return image;
    }

    pictavo_test::TempDir dir_;
    std::unique_ptr<CameraFamily> family_;
    SimulatedCamera* camera_ = nullptr;
};

TEST_F(CameraStreamTest, PreviewFramesArriveInTheFrameLayoutAtTheOpenedSize) {
    makeFamily();
    ASSERT_EQ(family_->setPreviewCallback(0, onPreview), kOk);
    ASSERT_EQ(family_->open(0, 0, {640, 480}), kOk);
    ASSERT_TRUE(seen.waitFor([] { return seen.frames >= 3; }));
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.width, 640);
    EXPECT_EQ(seen.height, 480);
    // The bottom-left pixel is desk, stored B,G,R: red 56, green 46, blue 38.
    EXPECT_EQ(seen.bottomLeft.r, 56);
    EXPECT_EQ(seen.bottomLeft.b, 38);
}

TEST_F(CameraStreamTest, OpenTakesListedSizesOrTheLargest) {
    makeFamily();
    EXPECT_EQ(family_->open(0, 0, {800, 600}), kInvalidArgument);
    EXPECT_EQ(family_->open(0, 2, {640, 480}), kInvalidArgument);
    EXPECT_EQ(family_->capture(0, dir_.file("a.jpg")), kNoDevice)
        << "a failed open leaves it closed";
    ASSERT_EQ(family_->open(0, 0, {0, 0}), kOk);
    int mediaType = -1;
    Resolution size;
    ASSERT_EQ(family_->currentResolution(0, mediaType, size), kOk);
    EXPECT_EQ(mediaType, 0);
    EXPECT_EQ(size, (Resolution{1280, 720}));
    ASSERT_EQ(family_->open(0, 1, {320, 240}), kOk) << "reopening restarts with the new choice";
    ASSERT_EQ(family_->currentResolution(0, mediaType, size), kOk);
    EXPECT_EQ(mediaType, 1);
    EXPECT_EQ(size, (Resolution{320, 240}));
}

TEST_F(CameraStreamTest, CapturesComeFromLiveFramesAtTheCurrentResolution) {
    makeFamily();
    ASSERT_EQ(family_->open(0, 0, {640, 480}), kOk);
    const std::string first = dir_.file("first.jpg");
    ASSERT_EQ(family_->capture(0, first), kOk);
    lenvaro::jpeg::Image image = readJpeg(first);
    EXPECT_EQ(image.width, 640);
    EXPECT_EQ(image.height, 480);

    EXPECT_EQ(family_->setResolution(0, {800, 600}), kInvalidArgument);
    ASSERT_EQ(family_->setResolution(0, {1280, 720}), kOk);
    ASSERT_EQ(family_->setImageOption(0, image_option::Rotate{1}), kOk);
    // Right after the change: a capture waits for a frame of the new size.
    const std::string second = dir_.file("second.jpg");
    ASSERT_EQ(family_->capture(0, second), kOk);
    image = readJpeg(second);
    EXPECT_EQ(image.width, 720);
    EXPECT_EQ(image.height, 1280);

    // A media type that lists the size keeps it; one that does not falls back to its first.
    ASSERT_EQ(family_->setMediaType(0, 1), kOk);
    int mediaType = 0;
    Resolution size;
    ASSERT_EQ(family_->currentResolution(0, mediaType, size), kOk);
    EXPECT_EQ(size, (Resolution{640, 480}));
    EXPECT_EQ(family_->setMediaType(0, 5), kInvalidArgument);

    EXPECT_EQ(family_->capture(0, dir_.file("no/such/dir/x.jpg")), kFileError);
    ASSERT_EQ(family_->close(0), kOk);
    EXPECT_EQ(family_->capture(0, dir_.file("closed.jpg")), kNoDevice);
}

TEST_F(CameraStreamTest, AutoCaptureReportsTurnedPagesWithTheArmedValue) {
    makeFamily(30, 1000ms);
    ASSERT_EQ(family_->open(0, 0, {320, 240}), kOk);
    EXPECT_EQ(family_->startAutoCapture(0, 0, 77, nullptr), kInvalidArgument);
    ASSERT_EQ(family_->startAutoCapture(0, 0, 77, onAutoCapture), kOk);
    ASSERT_TRUE(seen.waitFor([] { return seen.captured.size() >= 2; }, 15s));
    ASSERT_EQ(family_->stopAutoCapture(0), kOk);
    std::vector<std::string> files;
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_EQ(seen.events[0], 77);
        EXPECT_EQ(seen.events[1], 77);
        EXPECT_EQ(seen.captureResults[0], kOk) << "capturing from inside the callback works";
        files = seen.captured;
    }
    // Each capture shows the page that was turned to: the pages differ.
    const lenvaro::jpeg::Image a = readJpeg(files[0]);
    const lenvaro::jpeg::Image b = readJpeg(files[1]);
    ASSERT_EQ(a.pixels.size(), b.pixels.size());
    size_t different = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        different += std::abs(a.pixels[i] - b.pixels[i]) > 60;
    EXPECT_GT(different, a.pixels.size() / 20);

    const size_t reported = files.size();
    std::this_thread::sleep_for(1200ms);
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_LE(seen.events.size(), reported + 1) << "stopped (one may have been on its way)";
}

TEST_F(CameraStreamTest, ClosingWhileCallbacksRunAndFromInsideThemDoesNotLockUp) {
    makeFamily(60, 300ms);
    ASSERT_EQ(family_->setPreviewCallback(0, onPreview), kOk);
    sleepInPreviewMs = 5;
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(family_->open(0, 0, {320, 240}), kOk);
        ASSERT_EQ(family_->startAutoCapture(0, 1, 1, onAutoCapture), kOk);
        std::this_thread::sleep_for(50ms);
        ASSERT_EQ(family_->close(0), kOk);
    }
    // Once close() has returned, no frame arrives any more.
    int frames = 0;
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        frames = seen.frames;
    }
    std::this_thread::sleep_for(150ms);
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_EQ(seen.frames, frames);
    }

    // The preview callback closing the camera from the frame thread itself.
    sleepInPreviewMs = 0;
    ASSERT_EQ(family_->open(0, 0, {320, 240}), kOk);
    closeFromPreview = true;
    ASSERT_TRUE(seen.waitFor([] { return !closeFromPreview.load(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(family_->capture(0, dir_.file("x.jpg")), kNoDevice);
    ASSERT_EQ(family_->open(0, 0, {320, 240}), kOk) << "and it opens again afterwards";
    EXPECT_EQ(family_->capture(0, dir_.file("y.jpg")), kOk);
}

TEST_F(CameraStreamTest, RecordingWritesTheFramesUntilStopped) {
    makeFamily(30);
    ASSERT_EQ(family_->open(0, 0, {320, 240}), kOk);
    const std::string path = dir_.file("clip.avi");
    EXPECT_EQ(family_->startRecord(0, RecordRequest{path, -1, 1, 1}), kInvalidArgument)
        << "there is one encoder";
    EXPECT_EQ(family_->startRecord(0, RecordRequest{path, 99, 0, 1}), kInvalidArgument);
    ASSERT_EQ(family_->startRecord(0, RecordRequest{path, -1, 0, 1}), kOk);
    EXPECT_EQ(family_->startRecord(0, RecordRequest{dir_.file("b.avi"), -1, 0, 1}), kFailed)
        << "one recording at a time";
    std::this_thread::sleep_for(600ms);
    ASSERT_EQ(family_->stopRecord(0), kOk);
    EXPECT_EQ(family_->stopRecord(0), kFailed) << "nothing is recorded any more";

    std::vector<uint8_t> bytes;
    ASSERT_TRUE(lenvaro::jpeg::readBytes(path, bytes));
    const pictavo_test::AviContents avi = pictavo_test::parseAvi(bytes);
    ASSERT_EQ(avi.error, "");
    EXPECT_GE(avi.videoFrames.size(), 5u);
    EXPECT_EQ(avi.width, 320u);
    for (const auto& frame : avi.videoFrames) {
        lenvaro::jpeg::Image image;
        ASSERT_TRUE(lenvaro::jpeg::decode(frame.data(), frame.size(), image));
        EXPECT_EQ(image.height, 240);
    }
    EXPECT_NEAR(avi.microsecondsPerFrame, 33333, 8000);
}

TEST_F(CameraStreamTest, ARecordingEndsWellWithItsCameraAndKeepsItsSize) {
    makeFamily(30);
    ASSERT_EQ(family_->open(0, 0, {320, 240}), kOk);
    const std::vector<std::string> microphones = family_->audioDevices();
    int simulated = -1;
    for (size_t i = 0; i < microphones.size(); ++i)
        if (microphones[i] == kSimulatedMicrophone) simulated = static_cast<int>(i);
    const std::string path = dir_.file("clip.avi");
    ASSERT_EQ(family_->startRecord(0, RecordRequest{path, simulated, 0, 1}), kOk);
    std::this_thread::sleep_for(250ms);
    ASSERT_EQ(family_->setResolution(0, {640, 480}), kOk);
    std::this_thread::sleep_for(250ms);
    ASSERT_EQ(family_->close(0), kOk);
    EXPECT_EQ(family_->stopRecord(0), kOk) << "how the recording that ended with the camera went";

    std::vector<uint8_t> bytes;
    ASSERT_TRUE(lenvaro::jpeg::readBytes(path, bytes));
    const pictavo_test::AviContents avi = pictavo_test::parseAvi(bytes);
    ASSERT_EQ(avi.error, "");
    ASSERT_GE(avi.videoFrames.size(), 6u);
    lenvaro::jpeg::Image last;
    ASSERT_TRUE(
        lenvaro::jpeg::decode(avi.videoFrames.back().data(), avi.videoFrames.back().size(), last));
    EXPECT_EQ(last.width, 320) << "frames of the new size are scaled to the recording's";
    // The simulated microphone is listed where the system shows no sound input.
    if (simulated >= 0) {
        EXPECT_EQ(avi.streams, 2u);
    }
}

TEST_F(CameraStreamTest, BookCaptureTakesTheOpenCamerasSpread) {
    makeFamily();
    EXPECT_EQ(family_->captureBook(dir_.file("l.jpg"), dir_.file("r.jpg")), kNoDevice);
    ASSERT_EQ(family_->open(0, 0, {640, 480}), kOk);
    ASSERT_EQ(family_->setRemoveFinger(1), kOk);
    ASSERT_EQ(family_->captureBook(dir_.file("l.jpg"), dir_.file("r.jpg")), kOk);
    EXPECT_EQ(readJpeg(dir_.file("l.jpg")).width, 320);
    EXPECT_EQ(readJpeg(dir_.file("r.jpg")).width, 320);
}

TEST_F(CameraStreamTest, ControlsAreCheckedAndKept) {
    makeFamily();
    EXPECT_EQ(family_->control(0, device_control::AutoFocus{1}), kOk);
    EXPECT_EQ(camera_->focusMode(), 1);
    EXPECT_EQ(family_->control(0, device_control::AutoFocus{3}), kInvalidArgument);
    EXPECT_EQ(family_->control(0, device_control::VideoParameter{0, 0, 20, 2}), kOk);
    EXPECT_EQ(camera_->videoParameter(0, 0), 20);
    EXPECT_EQ(family_->control(0, device_control::VideoParameter{0, 0, 99, 1}), kOk);
    EXPECT_EQ(camera_->videoParameter(0, 0), 0) << "automatic: the default, whatever the value";
    EXPECT_EQ(family_->control(0, device_control::VideoParameter{0, 0, 65, 2}), kInvalidArgument);
    EXPECT_EQ(family_->control(0, device_control::VideoParameter{2, 0, 0, 2}), kInvalidArgument);
    EXPECT_EQ(family_->control(0, device_control::VideoParameter{1, 6, 500, 0}), kInvalidArgument);
    EXPECT_EQ(family_->control(0, device_control::Buzzer{2, 100, 100}), kOk);
    EXPECT_EQ(camera_->beeps(), 2);
    EXPECT_EQ(family_->control(0, device_control::Buzzer{-1, 100, 100}), kInvalidArgument);
}

TEST_F(CameraStreamTest, UnInitStopsFramesAndForgetsCallbacksAndSettings) {
    makeFamily();
    ASSERT_EQ(family_->setPreviewCallback(0, onPreview), kOk);
    ASSERT_EQ(family_->setImageOption(0, image_option::Rotate{2}), kOk);
    ASSERT_EQ(family_->open(0, 0, {320, 240}), kOk);
    ASSERT_TRUE(seen.waitFor([] { return seen.frames >= 1; }));
    ASSERT_EQ(family_->uninit(), kOk);
    EXPECT_FALSE(family_->deliverPreviewFrame(0, nullptr, 0, 0));
    ASSERT_EQ(family_->open(0, 0, {640, 480}), kOk);
    ASSERT_EQ(family_->capture(0, dir_.file("a.jpg")), kOk);
    EXPECT_EQ(readJpeg(dir_.file("a.jpg")).width, 640) << "rotation is back to none";
    EXPECT_EQ(family_->videoEncoders(), std::vector<std::string>{"MJPG (Motion-JPEG in AVI)"});
}

}  // namespace
