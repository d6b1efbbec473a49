// The face engine: compares two face images and says how alike they are.
#pragma once

#include <string>

#include "pictavo/status.h"

namespace pictavo {

// Called from any thread; implementations guard their own state.
class FaceEngine {
  public:
    // While a live match watches a camera: the pause between the end of one look and the next,
    // so that other matches and the camera's own work get their turn.
    static constexpr int kFrameIntervalMs = 40;
    // A live match ends early once a frame scores this much.
    static constexpr int kCertainScore = 90;

    virtual ~FaceEngine() = default;

    virtual int init() = 0;
    virtual int uninit() = 0;
    // `score` receives the similarity when the result is kOk.
    virtual int matchFiles(const std::string& path1, const std::string& path2, int& score) = 0;
    // The images as Base64 text of image files.
    virtual int matchImages(const std::string& image1, const std::string& image2, int& score) = 0;
    // Turns the live-person check on or off for later matches.
    virtual int setLivenessCheck(bool on) = 0;
    // The reference picture (an image file, or Base64 text of one) against the live picture of
    // open camera `dev`, watched for up to `milliseconds` (at least one frame); `score` receives
    // the best similarity when the result is kOk. An engine that cannot watch a camera answers
    // kNotSupported.
    virtual int matchFileWithCamera(int /*dev*/, const std::string& /*path*/, int /*milliseconds*/,
                                    int& /*score*/) {
        return kNotSupported;
    }
    virtual int matchImageWithCamera(int /*dev*/, const std::string& /*image*/,
                                     int /*milliseconds*/, int& /*score*/) {
        return kNotSupported;
    }
};

// No face engine is built in: starting and stopping succeed, every match answers kNotSupported.
class NoFaceEngine final : public FaceEngine {
  public:
    int init() override { return kOk; }
    int uninit() override { return kOk; }
    int matchFiles(const std::string&, const std::string&, int&) override { return kNotSupported; }
    int matchImages(const std::string&, const std::string&, int&) override { return kNotSupported; }
    int setLivenessCheck(bool) override { return kNotSupported; }
};

}  // namespace pictavo
