// The frames of one camera: captures, recording, auto capture and the preview callback.
#include "pictavo/camera/camera_stream.h"

#include <opencv2/imgproc.hpp>

#include "pictavo/camera/audio_devices.h"
#include "pictavo/camera/capture_pipeline.h"
#include "pictavo/camera/image_ops.h"
#include "pictavo/file_ops.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr int kRecordingQuality = 75;

// Frames that arrive at another size than the recording's are scaled to it.
Frame resampled(const Frame& frame, Resolution size) {
    Frame out;
    out.width = size.width;
    out.height = size.height;
    out.pixels.resize(static_cast<size_t>(size.width) * static_cast<size_t>(size.height) * 3);
    const cv::Mat in(frame.height, frame.width, CV_8UC3, const_cast<uint8_t*>(frame.pixels.data()));
    cv::Mat scaled(size.height, size.width, CV_8UC3, out.pixels.data());
    cv::resize(in, scaled, scaled.size(), 0, 0, cv::INTER_AREA);
    return out;
}

}  // namespace

std::vector<std::string> CameraStream::videoEncoders() { return {"MJPG (Motion-JPEG in AVI)"}; }

CameraStream::CameraStream(int framesPerSecond, int previewWidth)
    : framesPerSecond_(framesPerSecond), previewWidth_(previewWidth) {}

std::unique_ptr<PageChangeDetector> CameraStream::makeDetector(bool sensitive) const {
    // A page counts as at rest after half a second without change.
    return std::make_unique<PageChangeDetector>(std::chrono::milliseconds(500), sensitive);
}

CameraStream::~CameraStream() {
    std::lock_guard<std::mutex> lock(recorderMutex_);
    if (recorder_) recorder_->close();
}

void CameraStream::started() {
    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        streaming_ = true;
        sequence_ = 0;
        expected_ = Resolution{};
    }
    // Auto capture takes a fresh look at whatever page lies there now.
    std::lock_guard<std::mutex> lock(detectorMutex_);
    if (detector_) detector_ = makeDetector(sensitive_);
}

void CameraStream::stopped() {
    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        streaming_ = false;
        sequence_ = 0;
        latest_.pixels.clear();
        latest_.pixels.shrink_to_fit();
        latest_.jpeg.clear();
        latest_.jpeg.shrink_to_fit();
    }
    frameArrived_.notify_all();
    std::lock_guard<std::mutex> lock(recorderMutex_);
    if (recorder_) {
        // The recording ends with the camera; the next camStopRecord reports how it went.
        finishedRecordStatus_ = recorder_->close();
        finishedRecordPending_ = true;
        recorder_.reset();
        recording_.store(false);
    }
}

void CameraStream::expectSize(Resolution size) {
    std::lock_guard<std::mutex> lock(frameMutex_);
    expected_ = size;
}

bool CameraStream::streaming() const {
    std::lock_guard<std::mutex> lock(frameMutex_);
    return streaming_;
}

void CameraStream::onFrame(Frame& frame) {
    PreviewFrameCallback* preview = preview_.load();
    const bool watching = autoCapture_.load() != nullptr;
    // A recording needs every pixel of every frame; a JPEG frame is decoded whole for it.
    if (frame.compressed() && recording_.load() && !decodeFrame(frame.jpeg, 1, false, frame))
        return;  // damaged: not worth keeping either
    // What the preview and auto capture look at: the frame itself, or a JPEG frame decoded at
    // the preview's scale (auto capture alone needs no more than an eighth). While a custom crop
    // rectangle is set the preview gets full frames, since the service marks the rectangle in
    // frame pixels.
    const Frame* seen = &frame;
    if (frame.compressed() && (preview != nullptr || watching)) {
        int scale = 8;
        if (preview != nullptr) {
            std::lock_guard<std::mutex> lock(settingsMutex_);
            scale = settings_.crop.empty() ? previewScale(frame.width, frame.height, previewWidth_)
                                           : 1;
        }
        if (!decodeFrame(frame.jpeg, scale, true, scaled_)) return;
        seen = &scaled_;
    }

    // Everything that reads the frame happens before it is swapped into latest_.
    std::vector<uint8_t> recorded;
    bool recordThis = false;
    if (recording_.load()) {
        Resolution size;
        {
            std::lock_guard<std::mutex> lock(recorderMutex_);
            size = recordSize_;
        }
        if (size.width == frame.width && size.height == frame.height)
            recordThis = encodeFrame(frame, kRecordingQuality, recorded);
        else if (size.width > 0)
            recordThis = encodeFrame(resampled(frame, size), kRecordingQuality, recorded);
    }
    const auto takenAt = AviWriter::Clock::now();

    bool newPage = false;
    {
        std::lock_guard<std::mutex> lock(detectorMutex_);
        if (detector_) newPage = detector_->feed(*seen, takenAt);
    }

    // The callback may draw into what it gets: a picture of its own, never the kept frame.
    uint8_t* previewPixels = nullptr;
    const int width = seen->width;
    const int height = seen->height;
    if (preview != nullptr) {
        if (seen == &scaled_) {
            previewPixels = scaled_.pixels.data();
        } else {
            previewCopy_ = frame.pixels;
            previewPixels = previewCopy_.data();
        }
    }

    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        latest_.width = frame.width;
        latest_.height = frame.height;
        latest_.pixels.swap(frame.pixels);
        latest_.jpeg.swap(frame.jpeg);
        ++sequence_;
    }
    frameArrived_.notify_all();

    if (recordThis) {
        std::lock_guard<std::mutex> lock(recorderMutex_);
        if (recorder_) recorder_->addFrame(recorded, takenAt);
    }
    // The new page is the latest frame by now, so a capture the callback makes gets it.
    if (newPage) deliverAutoCaptureEvent(autoCaptureParam_.load());
    if (preview != nullptr) preview(previewPixels, width, height, 0);
}

int CameraStream::latestFrame(Frame& frame, std::chrono::milliseconds wait) const {
    std::unique_lock<std::mutex> lock(frameMutex_);
    if (!streaming_) return kNoDevice;
    const auto ready = [this] {
        const bool expected =
            (expected_.width == 0 && expected_.height == 0) ||
            (latest_.width == expected_.width && latest_.height == expected_.height);
        return !streaming_ || (sequence_ > 0 && expected);
    };
    if (!frameArrived_.wait_for(lock, wait, ready)) return kFailed;
    if (!streaming_) return kNoDevice;
    frame = latest_;
    lock.unlock();
    // A JPEG frame is decoded on the caller's thread, from the newest frame as it came.
    if (frame.compressed() && !decodeFrame(frame.jpeg, 1, false, frame)) return kFailed;
    return kOk;
}

int CameraStream::applyOption(const ImageOption& option) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    const int status = applyImageOption(settings_, option);
    // The first capture that looks for documents then costs no more than the others.
    if (settings_.autoCrop != kAutoCropOff || settings_.fillBorder) prepareDocumentSearch();
    return status;
}

CaptureSettings CameraStream::settings() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return settings_;
}

int CameraStream::capture(const std::string& path) {
    Frame frame;
    const int status = latestFrame(frame);
    if (status != kOk) return status;
    std::vector<uint8_t> jpeg;
    const int rendered = renderCapture(frame, settings(), jpeg);
    if (rendered != kOk) return rendered;
    return writeDocumentFile(path, jpeg);
}

int CameraStream::captureBook(const std::string& leftPath, const std::string& rightPath,
                              bool removeFingers) {
    Frame frame;
    const int status = latestFrame(frame);
    if (status != kOk) return status;
    std::vector<uint8_t> left, right;
    const int rendered = renderBookPages(frame, settings(), removeFingers, left, right);
    if (rendered != kOk) return rendered;
    const int first = writeDocumentFile(leftPath, left);
    if (first != kOk) return first;
    return writeDocumentFile(rightPath, right);
}

bool CameraStream::deliverPreviewFrame(uint8_t* pixels, int width, int height) {
    PreviewFrameCallback* callback = preview_.load();
    if (callback == nullptr) return false;
    callback(pixels, width, height, 0);
    return true;
}

int CameraStream::startAutoCapture(int type, int param, AutoCaptureCallback* callback) {
    if (callback == nullptr) return kInvalidArgument;
    {
        std::lock_guard<std::mutex> lock(detectorMutex_);
        sensitive_ = type == 1;
        detector_ = makeDetector(sensitive_);
    }
    autoCaptureParam_.store(param);
    autoCapture_.store(callback);
    return kOk;
}

int CameraStream::stopAutoCapture() {
    autoCapture_.store(nullptr);
    std::lock_guard<std::mutex> lock(detectorMutex_);
    detector_.reset();
    return kOk;
}

bool CameraStream::deliverAutoCaptureEvent(int event) {
    AutoCaptureCallback* callback = autoCapture_.load();
    if (callback == nullptr) return false;
    callback(event);
    return true;
}

int CameraStream::startRecord(const RecordRequest& request,
                              const std::vector<std::string>& audioDevices) {
    const std::vector<std::string> encoders = videoEncoders();
    if (request.videoFormat < 0 || static_cast<size_t>(request.videoFormat) >= encoders.size())
        return kInvalidArgument;
    bool silentAudio = false;
    if (request.microphone >= 0) {
        if (static_cast<size_t>(request.microphone) >= audioDevices.size()) return kInvalidArgument;
        // Sound from the system's own devices is not recorded; the simulated microphone's
        // silence is.
        if (audioDevices[static_cast<size_t>(request.microphone)] != kSimulatedMicrophone)
            return kNotSupported;
        silentAudio = true;
    }
    Frame frame;
    const int status = latestFrame(frame);
    if (status != kOk) return status;

    std::lock_guard<std::mutex> lock(recorderMutex_);
    if (recorder_) return kFailed;  // one recording at a time
    auto writer = std::make_unique<AviWriter>();
    const int opened =
        writer->open(request.path, frame.width, frame.height, framesPerSecond_, silentAudio);
    if (opened != kOk) return opened;
    recorder_ = std::move(writer);
    recordSize_ = {frame.width, frame.height};
    finishedRecordPending_ = false;
    recording_.store(true);
    return kOk;
}

int CameraStream::stopRecord() {
    std::lock_guard<std::mutex> lock(recorderMutex_);
    if (!recorder_) {
        if (!finishedRecordPending_) return kFailed;  // nothing is being recorded
        finishedRecordPending_ = false;
        return finishedRecordStatus_;
    }
    recording_.store(false);
    const int status = recorder_->close();
    recorder_.reset();
    return status;
}

void CameraStream::reset() {
    preview_.store(nullptr);
    stopAutoCapture();
    std::lock_guard<std::mutex> lock(settingsMutex_);
    settings_ = CaptureSettings{};
}

}  // namespace pictavo
