// The built-in face engine.
#include "pictavo/biometrics/pixel_face_engine.h"

#include <chrono>
#include <utility>

#include "pictavo/status.h"

namespace pictavo {
namespace {

int signatureOfFile(const std::string& path, FaceSignature& signature) {
    Picture picture;
    const int status = facePictureOfFile(path, picture);
    if (status == kOk) signature = signatureOfPicture(picture);
    return status;
}

int signatureOfText(const std::string& text, FaceSignature& signature) {
    Picture picture;
    const int status = facePictureOfText(text, picture);
    if (status == kOk) signature = signatureOfPicture(picture);
    return status;
}

}  // namespace

FaceSignature signatureOfPicture(const Picture& picture) {
    return faceSignature(picture.pixels.data(), picture.width, picture.height, picture.components);
}

PixelFaceEngine::PixelFaceEngine(FrameProvider frames, std::function<void()> announce)
    : frames_(std::move(frames)), announce_(std::move(announce)) {}

int PixelFaceEngine::init() {
    if (announce_) announce_();
    started_ = true;
    return kOk;
}

int PixelFaceEngine::uninit() {
    started_ = false;
    return kOk;
}

int PixelFaceEngine::setLivenessCheck(bool on) {
    liveness_ = on;
    return kOk;
}

int PixelFaceEngine::matchFiles(const std::string& path1, const std::string& path2, int& score) {
    if (!started_) return kFailed;
    FaceSignature first, second;
    int status = signatureOfFile(path1, first);
    if (status == kOk) status = signatureOfFile(path2, second);
    if (status != kOk) return status;
    score = faceSimilarity(first, second);
    return kOk;
}

int PixelFaceEngine::matchImages(const std::string& image1, const std::string& image2, int& score) {
    if (!started_) return kFailed;
    FaceSignature first, second;
    int status = signatureOfText(image1, first);
    if (status == kOk) status = signatureOfText(image2, second);
    if (status != kOk) return status;
    score = faceSimilarity(first, second);
    return kOk;
}

int PixelFaceEngine::matchFileWithCamera(int dev, const std::string& path, int milliseconds,
                                         int& score) {
    if (!started_) return kFailed;
    FaceSignature reference;
    const int status = signatureOfFile(path, reference);
    if (status != kOk) return status;
    return matchWithCamera(dev, reference, milliseconds, score);
}

int PixelFaceEngine::matchImageWithCamera(int dev, const std::string& image, int milliseconds,
                                          int& score) {
    if (!started_) return kFailed;
    FaceSignature reference;
    const int status = signatureOfText(image, reference);
    if (status != kOk) return status;
    return matchWithCamera(dev, reference, milliseconds, score);
}

// Looks at the camera's current picture, then again every kFrameIntervalMs until the time is
// up or a picture is certainly the person; the best score counts.
int PixelFaceEngine::matchWithCamera(int dev, const FaceSignature& reference, int milliseconds,
                                     int& score) {
    return watchCamera(
        frames_, dev, {milliseconds, kCertainScore, std::chrono::milliseconds(kFrameIntervalMs)},
        [&](const FrameCopy& frame, int& frameScore) {
            frameScore = faceSimilarity(
                reference, faceSignature(frame.rgb.data(), frame.width, frame.height, 3));
            return kOk;
        },
        [this] { return started_.load(); }, score);
}

}  // namespace pictavo
