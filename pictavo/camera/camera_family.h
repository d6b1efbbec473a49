// The camera family: the cameras the registry found, addressed by index, with the callbacks the
// service registered for each of them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "pictavo.h"
#include "pictavo/camera/camera.h"

namespace pictavo {

// One image setting of a device, kept by the capture pipeline and applied to what it captures.
// clang-format off
namespace image_option {
struct AutoCrop { int type; };
struct CropRect { int left, top, right, bottom; };
struct Rotate { int mode; };
struct Dpi { int x, y; };
struct JpegQuality { int quality; };
struct Adjust { int type; };
struct Denoise { bool on; };
struct FillBorder { int value; };
struct ColorStyle { int type; };
struct FileSign { bool on; };
struct NameByBarcode { bool on; };
struct WaterMark {
    std::string text;
    int type;
    int fontSize;
    std::string font;
    bool italic, underline;
    int weight;
    float angle, transparency;
    int r, g, b;
    bool enabled;
};
}  // namespace image_option
// clang-format on

using ImageOption =
    std::variant<image_option::AutoCrop, image_option::CropRect, image_option::Rotate,
                 image_option::Dpi, image_option::JpegQuality, image_option::Adjust,
                 image_option::Denoise, image_option::FillBorder, image_option::ColorStyle,
                 image_option::FileSign, image_option::NameByBarcode, image_option::WaterMark>;

// A direct command to the device rather than a setting of the pipeline.
// clang-format off
namespace device_control {
struct VideoParameter { int para1, para2, value, flag; };
struct AutoFocus { int type; };
struct Buzzer { int count, duration, interval; };
}  // namespace device_control
// clang-format on

using DeviceControl =
    std::variant<device_control::VideoParameter, device_control::AutoFocus, device_control::Buzzer>;

struct RecordRequest {
    std::string path;
    int microphone = 0;
    int videoFormat = 0;
    int flag = 0;
};

enum class SettingsWindow { kImage, kDevice };

// Thread-safe. Operations on one device are serialised by that device's lock; the callbacks are
// kept outside any lock, so a frame thread can deliver while another thread closes the device.
//
// The capture pipeline (capturing files, image settings, auto capture, recording, device
// controls) does not exist yet: for a device that exists those answer kNotSupported, for one that
// does not, kNoDevice.
class CameraFamily {
  public:
    explicit CameraFamily(std::vector<std::unique_ptr<Camera>> cameras = {});
    ~CameraFamily();
    CameraFamily(const CameraFamily&) = delete;
    CameraFamily& operator=(const CameraFamily&) = delete;

    int init();
    // Closes every open device and forgets every callback; returns the first close failure.
    int uninit();

    int count() const;
    bool exists(int dev) const;
    std::string name(int dev) const;  // "" when there is no such device
    int info(int dev, CameraInfo& info) const;
    int mediaTypeCount(int dev, int& count) const;
    std::string mediaTypeName(int dev, int index) const;  // "" when there is no such entry
    int resolutionCount(int dev, int mediaType, int& count) const;
    int resolution(int dev, int mediaType, int index, Resolution& size) const;

    int open(int dev, int mediaType, Resolution size);
    // Closing a device that is not open does nothing and succeeds.
    int close(int dev);
    int setResolution(int dev, Resolution size);
    int currentResolution(int dev, int& first, Resolution& size) const;
    int setMediaType(int dev, int index);

    // A null callback unregisters. The registration outlives close() and open().
    int setPreviewCallback(int dev, PreviewFrameCallback* callback);
    int capture(int dev, const std::string& path);
    // Captures both pages of a book with the open device.
    int captureBook(const std::string& firstPath, const std::string& secondPath);
    int setImageOption(int dev, const ImageOption& option);
    int setRemoveFinger(int param);
    int control(int dev, const DeviceControl& control);
    // The callback is kept only once auto capture has started.
    int startAutoCapture(int dev, int type, int param, AutoCaptureCallback* callback);
    int stopAutoCapture(int dev);

    std::vector<std::string> audioDevices() const;
    std::vector<std::string> videoEncoders() const;
    int startRecord(int dev, const RecordRequest& request);
    int stopRecord(int dev);
    int showSettingsWindow(int dev, SettingsWindow window);

    // For the frame thread and the pipeline: call what the service registered for `dev`.
    // Each returns false when nothing is registered.
    bool deliverPreviewFrame(int dev, uint8_t* pixels, int width, int height);
    bool deliverAutoCaptureEvent(int dev, int event);

  private:
    struct Slot;
    Slot* slot(int dev) const;
    // The answer for pipeline work on `dev` while there is no pipeline.
    int withoutPipeline(int dev) const;

    std::vector<std::unique_ptr<Slot>> slots_;  // fixed at construction
};

}  // namespace pictavo
