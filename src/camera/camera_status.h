// What the camera commands have done that a page needs to see after a reload or from another
// tab: the open camera with its media type and size, each camera's rotation and crop, whether
// recording or auto capture runs, and how many pictures wait in the PDF list. GET /status shows
// it. The command worker records each successful command; the I/O thread reads it for /status.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "camera/preview.h"

namespace lenvaro {

class CameraStatus {
public:
    using Clock = std::chrono::steady_clock;

    // A camera the service opened. width and height are those asked (0: the camera's default)
    // until the first frame tells the real ones.
    void opened(int32_t device, int32_t mediaType, int32_t width, int32_t height);
    // camCloseDev was called for the device, whatever it answered: nothing streams from it any
    // more, and its recording has ended with it. Auto capture lasts across a close and an open
    // (until camStopAutoCapture or the library's release).
    void closed(int32_t device);
    void mediaTypeSet(int32_t device, int32_t mediaType);
    void resolutionSet(int32_t device, int32_t width, int32_t height);
    // The library's settings belong to the camera and outlive a close; camUnInitCameraLib drops
    // them with everything else.
    void rotationSet(int32_t device, int32_t rotateMode);
    // An automatic crop type switches the custom box off and the other way round; the all-zero
    // box only clears the box.
    void autoCropSet(int32_t device, int32_t cropType);
    void customCropSet(int32_t device, const CropRect& box);
    void libraryReleased();

    void recordingStarted(int32_t device, Clock::time_point now = Clock::now());
    void recordingStopped();
    void autoCaptureStarted(int32_t device);
    void autoCaptureStopped();

    void pdfPictureAdded();
    // camCombinePDF empties the list, whether or not it wrote the document.
    void pdfListCombined();

    // The preview callback's frames (any thread, lock-free): the open camera's real size.
    void frameArrived(int width, int height);

    // The members GET /status adds after the service's name and version, as JSON text
    // (without braces): "cameras", "previewWidth", "recording", "autoCapture", "pdfList".
    // autoCaptured is the number of the last auto-captured file. Any thread.
    std::string jsonMembers(int32_t previewWidth, int32_t autoCaptured,
                            Clock::time_point now = Clock::now()) const;

private:
    struct Settings {
        int32_t rotation = 0;
        int32_t cropType = 0;
        CropRect cropBox;  // all zero: none
    };
    struct OpenCamera {
        int32_t device = 0;
        int32_t mediaType = 0;
        int32_t width = 0;
        int32_t height = 0;
    };

    mutable std::mutex mutex_;
    std::optional<OpenCamera> open_;  // the service opens one camera at a time
    std::map<int32_t, Settings> settings_;
    std::optional<int32_t> recordingDevice_;
    Clock::time_point recordingSince_{};
    std::optional<int32_t> autoCaptureDevice_;
    int32_t pdfPictures_ = 0;
    // The last frame's size, width in the high half; 0 until a frame of the open camera came.
    std::atomic<uint64_t> frameSize_{0};
};

}  // namespace lenvaro
