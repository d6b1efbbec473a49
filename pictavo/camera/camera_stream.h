// What happens to the frames of one camera: the latest one is kept for captures, recordings and
// auto capture watch them, and the service's preview callback gets a copy of each.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pictavo.h"
#include "pictavo/camera/avi_writer.h"
#include "pictavo/camera/camera.h"
#include "pictavo/camera/frame_decoding.h"
#include "pictavo/camera/image_settings.h"
#include "pictavo/camera/page_change_detector.h"

namespace pictavo {

struct RecordRequest {
    std::string path;
    int microphone = 0;
    int videoFormat = 0;
    int flag = 0;
};

// Thread-safe. onFrame() runs on the camera's frame thread; everything else on any thread,
// including the frame thread itself from inside a callback. No lock is held while a callback of
// the service runs.
class CameraStream final : public FrameSink {
  public:
    // The encoders a recording can use; the index is camStartRecord's videoFormat.
    static std::vector<std::string> videoEncoders();

    // `framesPerSecond` is the rate the camera delivers at, for recordings' headers.
    // `previewWidth`: the preview width JPEG frames are decoded for (frame_decoding.h's
    // previewScale); 0 decodes them at full size.
    explicit CameraStream(int framesPerSecond = 15, int previewWidth = kDefaultPreviewWidth);
    ~CameraStream() override;

    // The device started or stopped delivering frames. started() also resets auto capture's
    // notion of the page at rest; stopped() finishes a running recording.
    void started();
    void stopped();
    bool streaming() const;
    // The device now delivers frames of `size`: captures wait for the first of them rather than
    // take an older frame of the previous size.
    void expectSize(Resolution size);

    void onFrame(Frame& frame) override;
    // Captures then answer "no device" at once instead of handing out the last frame again, and
    // a recording is finished.
    void onDeviceLost() override { stopped(); }

    // The latest frame, waiting up to `wait` for the first one after started() (of the size
    // expectSize() announced), its pixels decoded at full size when it came compressed. kOk,
    // kNoDevice when the camera is not delivering, kFailed when no frame came in time or it
    // cannot be decoded.
    int latestFrame(Frame& frame, std::chrono::milliseconds wait = std::chrono::seconds(3)) const;

    int applyOption(const ImageOption& option);
    CaptureSettings settings() const;
    // Captures the latest frame into `path` through the capture pipeline.
    int capture(const std::string& path);
    int captureBook(const std::string& leftPath, const std::string& rightPath, bool removeFingers);

    // A null callback unregisters; the registration outlives stopped() and started().
    void setPreviewCallback(PreviewFrameCallback* callback) { preview_.store(callback); }
    bool deliverPreviewFrame(uint8_t* pixels, int width, int height);
    // Watches the frames for a new page and calls `callback` with `param` for each one.
    // `type` 1 is sensitive (a smaller change counts), anything else normal.
    int startAutoCapture(int type, int param, AutoCaptureCallback* callback);
    int stopAutoCapture();
    bool autoCaptureActive() const { return autoCapture_.load() != nullptr; }
    bool deliverAutoCaptureEvent(int event);

    // `audioDevices` is the list camStartRecord's microphone indexes.
    int startRecord(const RecordRequest& request, const std::vector<std::string>& audioDevices);
    int stopRecord();

    // Forgets callbacks and image settings, ends auto capture (for uninit).
    void reset();

  private:
    std::unique_ptr<PageChangeDetector> makeDetector(bool sensitive) const;

    int framesPerSecond_;
    int previewWidth_;

    mutable std::mutex frameMutex_;  // guards latest_, sequence_, streaming_
    mutable std::condition_variable frameArrived_;
    Frame latest_;
    uint64_t sequence_ = 0;
    bool streaming_ = false;
    Resolution expected_;  // 0 x 0: any size

    mutable std::mutex settingsMutex_;
    CaptureSettings settings_;

    std::atomic<PreviewFrameCallback*> preview_{nullptr};
    std::vector<uint8_t> previewCopy_;  // frame thread only: the callback may draw into it
    Frame scaled_;  // frame thread only: a JPEG frame decoded for the preview and auto capture

    std::atomic<AutoCaptureCallback*> autoCapture_{nullptr};
    std::atomic<int> autoCaptureParam_{0};
    std::mutex detectorMutex_;
    std::unique_ptr<PageChangeDetector> detector_;  // null while auto capture is off
    bool sensitive_ = false;

    std::mutex recorderMutex_;
    std::unique_ptr<AviWriter> recorder_;  // null while not recording
    Resolution recordSize_;
    std::atomic<bool> recording_{false};
    int finishedRecordStatus_ = 0;  // of a recording that stopped with the camera
    bool finishedRecordPending_ = false;
};

}  // namespace pictavo
