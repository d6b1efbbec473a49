// The picture an open camera shows now, for the engines that work on live frames (face
// matching against the camera, naming captures after their barcode).
#pragma once

#include <cstdint>
#include <vector>

namespace pictavo {

// Rows top to bottom, R, G, B, no padding.
struct FrameCopy {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// Copies the latest frame of open camera `dev`. kOk, kNoDevice when no such camera is open, or
// kFailed when it delivered no frame within 3 seconds (statuses of pictavo/status.h).
int latestCameraFrame(int dev, FrameCopy& frame);

}  // namespace pictavo
