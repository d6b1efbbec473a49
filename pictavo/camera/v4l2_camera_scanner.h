// The V4L2 cameras of this computer, looked for again whenever the camera family asks.
#pragma once

#include <memory>
#include <string>

#include "pictavo/camera/camera_family.h"
#include "pictavo/camera/v4l2_io.h"

namespace pictavo {

// Scans the capture nodes below `root` (see findV4l2CaptureNodes) through `io`.
std::unique_ptr<CameraScanner> makeV4l2Scanner(std::string root, std::shared_ptr<V4l2Io> io);

}  // namespace pictavo
