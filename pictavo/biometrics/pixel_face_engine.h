// The built-in face engine. It has no model of faces: it decodes the two pictures (JPEG, PNG or
// BMP, from files or Base64 text) and says how alike they look, from their pixels alone. The
// same picture scores 100, a re-encoded or slightly changed copy scores high, unrelated pictures
// score low.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "pictavo/biometrics/face_engine.h"
#include "pictavo/biometrics/face_signature.h"
#include "pictavo/camera/frame_source.h"

namespace pictavo {

class PixelFaceEngine final : public FaceEngine {
  public:
    // Where the live pictures come from: latestCameraFrame() unless a test says otherwise.
    using FrameProvider = std::function<int(int dev, FrameCopy& frame)>;
    // Between two looks at the camera while a live match runs.
    static constexpr int kFrameIntervalMs = 40;
    // A live match ends early once a frame scores this much.
    static constexpr int kCertainScore = 90;

    explicit PixelFaceEngine(FrameProvider frames = latestCameraFrame);

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
    std::atomic<bool> started_{false};
    std::atomic<bool> liveness_{false};
};

// Decodes an image file's bytes into a signature. kOk; kNotSupported when the bytes are no
// JPEG, PNG or BMP; kFileError when they are damaged.
int signatureOfImage(const std::vector<uint8_t>& bytes, FaceSignature& signature);

// The bytes of Base64 image text as pages send it: line breaks and white space are skipped, and
// a leading "data:<type>;base64," is dropped. False when nothing decodes or a character lies
// outside the alphabet.
bool decodeImageText(const std::string& text, std::vector<uint8_t>& bytes);

}  // namespace pictavo
