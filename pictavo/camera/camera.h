// One video device as the camera family sees it. Simulated cameras (described by the
// configuration) and V4L2 cameras implement this; the registry decides which ones exist.
#pragma once

#include <string>
#include <vector>

namespace pictavo {

struct Resolution {
    int width = 0;
    int height = 0;
};

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

// The camera family calls one device from one thread at a time (it holds the device's lock), but
// not always from the same thread. Every int result is a Status.
class Camera {
  public:
    virtual ~Camera() = default;

    virtual CameraInfo info() const = 0;
    virtual std::vector<MediaType> mediaTypes() const = 0;

    // Starts the device in media type `mediaType` at `size`.
    virtual int open(int mediaType, Resolution size) = 0;
    // Stops the device; only called after a successful open().
    virtual int close() = 0;
};

}  // namespace pictavo
