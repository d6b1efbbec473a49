// The built-in face engine.
#include "pictavo/biometrics/pixel_face_engine.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "pictavo/imaging/picture.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

int signatureOfFile(const std::string& path, FaceSignature& signature) {
    std::vector<uint8_t> bytes;
    const int status = readPictureFile(path, bytes);
    if (status != kOk) return status;
    return signatureOfImage(bytes, signature);
}

int signatureOfText(const std::string& text, FaceSignature& signature) {
    std::vector<uint8_t> bytes;
    if (!decodeImageText(text, bytes)) return kInvalidArgument;
    return signatureOfImage(bytes, signature);
}

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;  // '-' and '_': the URL-safe alphabet
    if (c == '/' || c == '_') return 63;
    return -1;
}

}  // namespace

int signatureOfImage(const std::vector<uint8_t>& bytes, FaceSignature& signature) {
    Picture picture;
    const int status = decodePicture(bytes, picture);
    if (status != kOk) return status;
    if (picture.width <= 0 || picture.height <= 0 ||
        (picture.components != 1 && picture.components != 3) ||
        picture.pixels.size() < picture.rowBytes() * static_cast<size_t>(picture.height)) {
        return kFileError;
    }
    signature =
        faceSignature(picture.pixels.data(), picture.width, picture.height, picture.components);
    return kOk;
}

bool decodeImageText(const std::string& text, std::vector<uint8_t>& bytes) {
    size_t start = 0;
    static const std::string kDataPrefix = "data:";
    static const std::string kBase64Marker = ";base64,";
    if (text.compare(0, kDataPrefix.size(), kDataPrefix) == 0) {
        const size_t marker = text.find(kBase64Marker);
        if (marker == std::string::npos) return false;
        start = marker + kBase64Marker.size();
    }
    bytes.clear();
    bytes.reserve((text.size() - start) / 4 * 3 + 3);
    uint32_t bits = 0;
    int bitCount = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '=') break;
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        const int value = base64Value(c);
        if (value < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes.push_back(static_cast<uint8_t>(bits >> bitCount));
        }
    }
    return !bytes.empty();
}

PixelFaceEngine::PixelFaceEngine(FrameProvider frames) : frames_(std::move(frames)) {}

int PixelFaceEngine::init() {
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
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, milliseconds));
    int best = -1;
    FrameCopy frame;
    for (;;) {
        const int status = frames_ ? frames_(dev, frame) : kNoDevice;
        const bool whole = frame.width > 0 && frame.height > 0 &&
                           frame.rgb.size() == static_cast<size_t>(frame.width) *
                                                   static_cast<size_t>(frame.height) * 3;
        if (status != kOk || !whole) {
            // The camera went away (or was never there): what was seen so far stands.
            if (best >= 0) break;
            return status != kOk ? status : kFailed;
        }
        best = std::max(best, faceSimilarity(reference, faceSignature(frame.rgb.data(), frame.width,
                                                                      frame.height, 3)));
        const auto now = Clock::now();
        if (best >= kCertainScore || now >= deadline) break;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(kFrameIntervalMs)));
    }
    score = best;
    return kOk;
}

}  // namespace pictavo
