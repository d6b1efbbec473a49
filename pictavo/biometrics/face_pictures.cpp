// Face pictures from files and Base64 text, and the watch over a camera.
#include "pictavo/biometrics/face_pictures.h"

#include <algorithm>
#include <thread>

#include "pictavo/status.h"

namespace pictavo {
namespace {

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;  // '-' and '_': the URL-safe alphabet
    if (c == '/' || c == '_') return 63;
    return -1;
}

}  // namespace

int decodeFacePicture(const std::vector<uint8_t>& bytes, Picture& picture) {
    const int status = decodePicture(bytes, picture);
    if (status != kOk) return status;
    if (picture.width <= 0 || picture.height <= 0 ||
        (picture.components != 1 && picture.components != 3) ||
        picture.pixels.size() < picture.rowBytes() * static_cast<size_t>(picture.height)) {
        return kFileError;
    }
    if (picture.components == 1) expandToRgb(picture);
    return kOk;
}

int facePictureOfFile(const std::string& path, Picture& picture) {
    std::vector<uint8_t> bytes;
    const int status = readPictureFile(path, bytes);
    if (status != kOk) return status;
    return decodeFacePicture(bytes, picture);
}

int facePictureOfText(const std::string& text, Picture& picture) {
    std::vector<uint8_t> bytes;
    if (!decodeImageText(text, bytes)) return kInvalidArgument;
    return decodeFacePicture(bytes, picture);
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

int watchCamera(const FaceFrameProvider& frames, int dev, const CameraWatch& watch,
                const FrameScorer& scoreOf, const std::function<bool()>& keepGoing, int& best) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, watch.milliseconds));
    int bestSoFar = -1;
    int lastStatus = kFailed;
    FrameCopy frame;
    for (;;) {
        const int status = frames ? frames(dev, frame) : kNoDevice;
        const bool whole = frame.width > 0 && frame.height > 0 &&
                           frame.rgb.size() == static_cast<size_t>(frame.width) *
                                                   static_cast<size_t>(frame.height) * 3;
        if (status != kOk || !whole) {
            // The camera went away (or was never there): what was seen so far stands.
            if (bestSoFar >= 0) break;
            return status != kOk ? status : kFailed;
        }
        int score = 0;
        lastStatus = scoreOf(frame, score);
        if (lastStatus == kOk) bestSoFar = std::max(bestSoFar, score);
        const auto now = Clock::now();
        if (bestSoFar >= watch.enough || now >= deadline || (keepGoing && !keepGoing())) break;
        std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, watch.pause));
    }
    if (bestSoFar < 0) return lastStatus;
    best = bestSoFar;
    return kOk;
}

}  // namespace pictavo
