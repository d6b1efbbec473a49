// The face engine for machines without the face model ("faces": {"engine": "pixels"}). It has no
// model of faces: it decodes the two pictures (JPEG, PNG or BMP, from files or Base64 text) and
// says how alike they look, from their pixels alone. The same picture scores 100, a re-encoded or
// slightly changed copy scores high, unrelated pictures score low.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "pictavo/biometrics/face_engine.h"
#include "pictavo/biometrics/face_pictures.h"
#include "pictavo/biometrics/face_signature.h"

namespace pictavo {

class PixelFaceEngine final : public FaceEngine {
  public:
    using FrameProvider = FaceFrameProvider;

    // `announce` runs at every init() (to say which engine serves, and why).
    explicit PixelFaceEngine(FrameProvider frames = latestCameraFrame,
                             std::function<void()> announce = nullptr);

    // Matching needs a started engine; before init() and after uninit() it answers kFailed.
    int init() override;
    int uninit() override;
    int matchFiles(const std::string& path1, const std::string& path2, int& score) override;
    int matchImages(const std::string& image1, const std::string& image2, int& score) override;
    // The engine keeps the setting and reports it (livenessCheck()); it has no way to tell a
    // person from a picture of one, so the setting changes no score.
    int setLivenessCheck(bool on) override;
    int matchFileWithCamera(int dev, const std::string& path, int milliseconds,
                            int& score) override;
    int matchImageWithCamera(int dev, const std::string& image, int milliseconds,
                             int& score) override;

    bool livenessCheck() const { return liveness_.load(); }

  private:
    int matchWithCamera(int dev, const FaceSignature& reference, int milliseconds, int& score);

    const FrameProvider frames_;
    const std::function<void()> announce_;
    std::atomic<bool> started_{false};
    std::atomic<bool> liveness_{false};
};

// The signature of a decoded picture (facePictureOfFile, facePictureOfText).
FaceSignature signatureOfPicture(const Picture& picture);

}  // namespace pictavo
