// The face model: three networks of a published face-recognition package, converted for OpenCV's
// dnn module by scripts/setup (models/convert_face_models.py): a face detector (Tiny YOLO v2 with
// separable convolutions), a locator of 68 landmarks, and a ResNet-34 that maps an aligned face to
// 128 values whose Euclidean distance says how alike two faces are (the package's own threshold
// for "the same person" is 0.6). Pictures go through the networks exactly as the package feeds
// them, so our descriptors agree with the package's own (tests/web/face_reference.test.mjs).
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pictavo {

using FaceDescriptor = std::array<float, 128>;

// A face the model found, in pixels of the picture it was found in.
struct FoundFace {
    cv::Rect2d box;          // where the detector saw it
    float confidence = 0;    // the detector's, above kDetectionThreshold
    std::array<cv::Point2d, 68> landmarks;  // jaw, brows, nose, eyes, mouth, in the usual order
    // The square the descriptor was computed from; it may reach past the picture's edges when the
    // face was found on a margin around it.
    cv::Rect aligned;
    FaceDescriptor descriptor{};
};

class FaceModel {
  public:
    // The files in the model directory (models/face in the source tree, share/lenvaro-server/
    // models/face under the installation prefix).
    static constexpr const char* kDetectorFile = "face_detector.onnx";
    static constexpr const char* kLandmarksFile = "face_landmarks.onnx";
    static constexpr const char* kRecognizerFile = "face_recognition.onnx";
    // The side of the square the detector looks at; the converted graph has its paddings for it.
    static constexpr int kDetectorSize = 416;
    static constexpr float kDetectionThreshold = 0.5f;

    // True when all three files are there.
    static bool installedIn(const std::string& directory);
    // Reads the networks; null, with the reason in `problem`, when a file is missing or unusable.
    static std::shared_ptr<FaceModel> load(const std::string& directory, std::string& problem);

    // Every face of `rgb` (8-bit R, G, B, rows top to bottom), the most certain detection first.
    // Safe from any thread: one picture at a time goes through the networks, on the calling
    // thread alone (the networks would otherwise spread over every core).
    std::vector<FoundFace> findFaces(const cv::Mat& rgb);
    // The face with the largest detection box; false when the picture shows none.
    bool findLargestFace(const cv::Mat& rgb, FoundFace& face);

  private:
    struct Detection {
        cv::Rect2d box;
        float confidence;
    };

    FaceModel() = default;
    std::vector<FoundFace> findFacesLocked(const cv::Mat& rgb, bool largestOnly);
    std::vector<Detection> detect(const cv::Mat& rgb);
    Detection refined(const cv::Mat& rgb, const Detection& detection);
    void describe(const cv::Mat& rgb, const Detection& detection, FoundFace& face);

    std::mutex mutex_;  // cv::dnn::Net is not reentrant
    cv::dnn::Net detector_, landmarks_, recognizer_;
};

// Euclidean distance of two descriptors: 0 for the same picture of a face, small for one person.
double descriptorDistance(const FaceDescriptor& a, const FaceDescriptor& b);

// The distance that scores 50, and how quickly the score falls around it. Stricter than the
// package's own threshold for one person, 0.6: different people in its sample pictures come as
// close as 0.59, while one person's photographs rarely lie more than 0.45 apart.
inline constexpr double kScoreMidpoint = 0.55;
inline constexpr double kScoreSpread = 0.05;

// The 0 to 100 score of a distance: 100 / (1 + e^((distance - 0.55) / 0.05)), rounded. 95 at 0.4,
// 88 at 0.45, 73 at 0.5, 50 at 0.55, 27 at the package's threshold 0.6, 12 at 0.65, 5 at 0.7
// (docs/face-matching.md).
int faceScore(double distance);

}  // namespace pictavo
