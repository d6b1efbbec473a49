// The camera family: the cameras the registry found, addressed by index, each with the stream
// of its frames (captures, recording, auto capture, the service's callbacks).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pictavo.h"
#include "pictavo/camera/camera.h"
#include "pictavo/camera/camera_stream.h"
#include "pictavo/camera/image_settings.h"

namespace pictavo {

enum class SettingsWindow { kImage, kDevice };

// A camera found on the computer now, with what tells it apart from the others: the same
// identity on the next scan means the same device, still plugged in.
struct ScannedCamera {
    std::string identity;
    std::unique_ptr<Camera> camera;
};

// Cameras that come and go (USB devices). The family asks again on every count(), so that a
// camera unplugged or plugged in shows in the next camGetDevCount.
class CameraScanner {
  public:
    virtual ~CameraScanner() = default;
    // The cameras present now, in the order they are listed.
    virtual std::vector<ScannedCamera> scan() = 0;
};

// Thread-safe. Operations on one device (open, close, resolution, media type, controls) are
// serialised by that device's lock. Captures, image settings, auto capture and recording go to
// the device's stream, which guards itself, so they never wait for the device's lock: a callback
// running on the frame thread may capture while another thread closes the device, which waits
// for that frame thread to finish.
//
// Work that needs frames (capture, recording, auto capture, resolution changes) answers
// kNoDevice while the device is not open.
class CameraFamily {
  public:
    // The scanned cameras (when there is a scanner) are listed first, then the fixed `cameras`.
    // `previewWidth`: what JPEG frames are decoded for when only the preview needs them
    // (CameraStream).
    explicit CameraFamily(std::vector<std::unique_ptr<Camera>> cameras = {},
                          std::unique_ptr<CameraScanner> scanner = nullptr,
                          int previewWidth = kDefaultPreviewWidth);
    ~CameraFamily();
    CameraFamily(const CameraFamily&) = delete;
    CameraFamily& operator=(const CameraFamily&) = delete;

    int init();
    // Closes every open device and forgets every callback and setting; returns the first close
    // failure.
    int uninit();

    // Scans for cameras that came or went first: a camera that went away is closed and its
    // index goes to the next one; one that is back gets its callbacks and settings back.
    int count() const;
    bool exists(int dev) const;
    std::string name(int dev) const;  // "" when there is no such device
    int info(int dev, CameraInfo& info) const;
    int mediaTypeCount(int dev, int& count) const;
    std::string mediaTypeName(int dev, int index) const;  // "" when there is no such entry
    int resolutionCount(int dev, int mediaType, int& count) const;
    int resolution(int dev, int mediaType, int index, Resolution& size) const;

    // Opening an open device restarts it with the new media type and size.
    int open(int dev, int mediaType, Resolution size);
    // Closing a device that is not open does nothing and succeeds.
    int close(int dev);
    int setResolution(int dev, Resolution size);
    // `first` receives the media type the device delivers.
    int currentResolution(int dev, int& first, Resolution& size) const;
    int setMediaType(int dev, int index);

    // A null callback unregisters. The registration outlives close() and open().
    int setPreviewCallback(int dev, PreviewFrameCallback* callback);
    int capture(int dev, const std::string& path);
    // Captures both pages of a book with the first open device.
    int captureBook(const std::string& firstPath, const std::string& secondPath);
    int setImageOption(int dev, const ImageOption& option);
    // Book captures paint over fingers at the pages' outer edges while this is not 0.
    int setRemoveFinger(int param);
    int control(int dev, const DeviceControl& control);
    // The callback is kept only once auto capture has started.
    int startAutoCapture(int dev, int type, int param, AutoCaptureCallback* callback);
    int stopAutoCapture(int dev);

    // Empty without cameras: there is nothing to record.
    std::vector<std::string> audioDevices() const;
    std::vector<std::string> videoEncoders() const;
    int startRecord(int dev, const RecordRequest& request);
    int stopRecord(int dev);
    int showSettingsWindow(int dev, SettingsWindow window);

    // The latest frame of open device `dev`: kOk, kNoDevice, or kFailed when none came in time.
    int latestFrame(int dev, Frame& frame) const;

    // For the frame thread and the pipeline: call what the service registered for `dev`.
    // Each returns false when nothing is registered.
    bool deliverPreviewFrame(int dev, uint8_t* pixels, int width, int height);
    bool deliverAutoCaptureEvent(int dev, int event);

  private:
    struct Slot;
    Slot* slot(int dev) const;
    std::vector<Slot*> allSlots() const;
    int listedCount() const;  // without scanning
    void rescan() const;

    // Every camera ever found, never removed while the family lives (so a Slot* stays valid),
    // and the ones listed now, by index. Scanning changes both.
    mutable std::mutex slotsMutex_;
    mutable std::vector<std::unique_ptr<Slot>> slots_;
    mutable std::vector<Slot*> listed_;
    std::vector<Slot*> fixed_;  // the cameras given at construction, listed after scanned ones
    const int previewWidth_;
    const std::unique_ptr<CameraScanner> scanner_;
    mutable std::mutex scanMutex_;  // one scan at a time
    std::atomic<bool> removeFinger_{false};
};

}  // namespace pictavo
