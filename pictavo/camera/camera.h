// One video device as the camera family sees it. Simulated cameras (described by the
// configuration) and V4L2 cameras implement this; the registry decides which ones exist.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "pictavo/status.h"

namespace pictavo {

struct Resolution {
    int width = 0;
    int height = 0;
};

inline bool operator==(Resolution a, Resolution b) {
    return a.width == b.width && a.height == b.height;
}
inline bool operator!=(Resolution a, Resolution b) { return !(a == b); }

// A pixel format the device offers ("MJPG", "YUY2") and the frame sizes it offers in it. The
// index of a media type in Camera::mediaTypes() is the "subtype" of the C interface.
struct MediaType {
    std::string name;
    std::vector<Resolution> resolutions;
};

struct CameraInfo {
    std::string name;
    int type = 0;
    std::string pid;
    std::string vid;
    std::string serial;
    std::string customSerial;
};

// One picture as the device delivers it and as the preview callback receives it: B, G, R per
// pixel, rows of width * 3 bytes without padding, bottom row first.
struct Frame {
    int width = 0;
    int height = 0;
    // Empty while a JPEG frame has not been decoded (decodeFrame() in frame_decoding.h): a
    // camera that sends JPEG frames delivers them compressed, and only what needs the pixels
    // decodes them, at the size it needs.
    std::vector<uint8_t> pixels;
    // The camera's own JPEG of these pixels, when it sends JPEG frames (Motion-JPEG); empty
    // otherwise. A capture that changes no pixel saves it rather than encoding anew.
    std::vector<uint8_t> jpeg;

    bool compressed() const { return pixels.empty() && !jpeg.empty(); }

    size_t rowBytes() const { return static_cast<size_t>(width) * 3; }
    // The row `y` counted from the top of the picture.
    uint8_t* row(int y) { return pixels.data() + static_cast<size_t>(height - 1 - y) * rowBytes(); }
    const uint8_t* row(int y) const {
        return pixels.data() + static_cast<size_t>(height - 1 - y) * rowBytes();
    }
};

// Where an open camera sends its frames, on a thread of the camera's own.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // The sink may swap the pixel buffer out (keeping the frame without a copy); the camera then
    // renders its next frame into whatever buffer `frame` holds on return.
    virtual void onFrame(Frame& frame) = 0;
    // The device stopped delivering by itself (it was unplugged): no frame comes before the
    // next open(). Called on the camera's thread, after its last onFrame().
    virtual void onDeviceLost() {}
};

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

// The camera family calls one device from one thread at a time (it holds the device's lock), but
// not always from the same thread; setAutoCaptureActive() is the exception (see there). Every
// int result is a Status.
class Camera {
  public:
    virtual ~Camera() = default;

    virtual CameraInfo info() const = 0;
    virtual std::vector<MediaType> mediaTypes() const = 0;

    // Starts the device in media type `mediaType` at `size`.
    virtual int open(int mediaType, Resolution size) = 0;
    // Stops the device; only called after a successful open(). Once it returns, no frame is
    // being delivered and none will be until the next open().
    virtual int close() = 0;

    // Set once, before the first open(); frames flow into it between open() and close(). A
    // device that produces no frames ignores it.
    virtual void setFrameSink(FrameSink*) {}
    // Changes the size or media type of the open device.
    virtual int setResolution(Resolution) { return kNotSupported; }
    virtual int setMediaType(int) { return kNotSupported; }
    // The media type and size the open device delivers.
    virtual int current(int& /*mediaType*/, Resolution& /*size*/) const { return kNotSupported; }
    virtual int control(const DeviceControl&) { return kNotSupported; }
    // Auto capture started or stopped on this device. May be called from any thread, also from
    // the device's own frame thread, without the device's lock: a hint the device may use (the
    // simulated document camera turns its pages), never a reason to block.
    virtual void setAutoCaptureActive(bool) {}
    // The rate frames arrive at when open, as far as the device knows it.
    virtual int framesPerSecond() const { return 15; }
};

}  // namespace pictavo
