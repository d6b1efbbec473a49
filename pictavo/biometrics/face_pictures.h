// What the face engines share: the pictures they are given (image files, or Base64 text of them)
// and the live match's watch over an open camera.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pictavo/camera/frame_source.h"
#include "pictavo/imaging/picture.h"

namespace pictavo {

// Decodes an image file's bytes to R, G, B, grey pictures expanded. kOk; kNotSupported when the
// bytes are no JPEG, PNG or BMP; kFileError when they are damaged.
int decodeFacePicture(const std::vector<uint8_t>& bytes, Picture& picture);
// The same for an image file (kFileError also when it cannot be read) and for Base64 text of one
// (kInvalidArgument when the text is not Base64).
int facePictureOfFile(const std::string& path, Picture& picture);
int facePictureOfText(const std::string& text, Picture& picture);

// The bytes of Base64 image text as pages send it: line breaks and white space are skipped, and
// a leading "data:<type>;base64," is dropped. False when nothing decodes or a character lies
// outside the alphabet.
bool decodeImageText(const std::string& text, std::vector<uint8_t>& bytes);

// Where a live match's pictures come from: latestCameraFrame() unless a test says otherwise.
using FaceFrameProvider = std::function<int(int dev, FrameCopy& frame)>;

struct CameraWatch {
    int milliseconds = 0;  // how long to look; at least one frame is looked at
    int enough = 100;      // a frame scoring this much ends the watch
    std::chrono::milliseconds pause{40};  // between the end of one look and the next
};

// Scores one frame: kOk with `score`, or a negative status for a frame that does not count
// (one showing no face).
using FrameScorer = std::function<int(const FrameCopy& frame, int& score)>;

// Looks at camera `dev`'s current frame, then again after every pause, until the time is up, a
// frame scores `watch.enough`, or `keepGoing` (asked before every further look) says to stop.
// kOk with the best score in `best`. When no frame counted: the camera's status if it delivered
// no frame (kFailed for a frame without pixels), else the scorer's status of the last frame.
// A camera that stops delivering after frames were seen ends the watch with what was seen.
int watchCamera(const FaceFrameProvider& frames, int dev, const CameraWatch& watch,
                const FrameScorer& scoreOf, const std::function<bool()>& keepGoing, int& best);

}  // namespace pictavo
