// The face engine of the face model.
#include "pictavo/biometrics/model_face_engine.h"

#include <utility>

#include "pictavo/status.h"

namespace pictavo {

int describeLargestFace(FaceModel& model, const Picture& picture, FaceDescriptor& descriptor) {
    // The model reads the pixels in place (R, G, B, decodeFacePicture made sure of three).
    const cv::Mat rgb(picture.height, picture.width, CV_8UC3,
                      const_cast<uint8_t*>(picture.pixels.data()), picture.rowBytes());
    FoundFace face;
    if (!model.findLargestFace(rgb, face)) return kNoFace;
    descriptor = face.descriptor;
    return kOk;
}

namespace {

int describeFile(FaceModel& model, const std::string& path, FaceDescriptor& descriptor) {
    Picture picture;
    const int status = facePictureOfFile(path, picture);
    return status != kOk ? status : describeLargestFace(model, picture, descriptor);
}

int describeText(FaceModel& model, const std::string& text, FaceDescriptor& descriptor) {
    Picture picture;
    const int status = facePictureOfText(text, picture);
    return status != kOk ? status : describeLargestFace(model, picture, descriptor);
}

}  // namespace

ModelFaceEngine::ModelFaceEngine(std::string modelDirectory, FrameProvider frames,
                                 Announcer announce)
    : directory_(std::move(modelDirectory)), frames_(std::move(frames)),
      announce_(std::move(announce)) {}

int ModelFaceEngine::init() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (model_) return kOk;
    std::string problem;
    model_ = FaceModel::load(directory_, problem);
    if (announce_) {
        announce_(model_ ? "face engine: the face model in " + directory_
                         : "face engine: the face model cannot be used: " + problem +
                               " (scripts/setup installs it)",
                  model_ == nullptr);
    }
    return model_ ? kOk : kFileError;
}

int ModelFaceEngine::uninit() {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.reset();
    lastReferenceText_.clear();
    return kOk;
}

std::shared_ptr<FaceModel> ModelFaceEngine::startedModel() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_;
}

int ModelFaceEngine::setLivenessCheck(bool on) {
    liveness_ = on;
    return kOk;
}

namespace {

// Both pictures described by `describe` (describeFile or describeText), then scored.
template <typename Describe>
int matchPair(const std::shared_ptr<FaceModel>& model, const std::string& first, const std::string& second,
              Describe describe, int& score) {
    if (model == nullptr) return kFailed;
    FaceDescriptor a, b;
    int status = describe(*model, first, a);
    if (status == kOk) status = describe(*model, second, b);
    if (status == kOk) score = faceScore(descriptorDistance(a, b));
    return status;
}

}  // namespace

int ModelFaceEngine::matchFiles(const std::string& path1, const std::string& path2, int& score) {
    return matchPair(startedModel(), path1, path2, describeFile, score);
}

int ModelFaceEngine::matchImages(const std::string& image1, const std::string& image2,
                                 int& score) {
    return matchPair(startedModel(), image1, image2, describeText, score);
}

int ModelFaceEngine::matchFileWithCamera(int dev, const std::string& path, int milliseconds,
                                         int& score) {
    const std::shared_ptr<FaceModel> model = startedModel();
    if (!model) return kFailed;
    FaceDescriptor reference;
    const int status = describeFile(*model, path, reference);
    if (status != kOk) return status;
    return matchWithCamera(model, dev, reference, milliseconds, score);
}

int ModelFaceEngine::matchImageWithCamera(int dev, const std::string& image, int milliseconds,
                                          int& score) {
    const std::shared_ptr<FaceModel> model = startedModel();
    if (!model) return kFailed;
    FaceDescriptor reference;
    const int status = referenceOfText(model, image, reference);
    if (status != kOk) return status;
    return matchWithCamera(model, dev, reference, milliseconds, score);
}

int ModelFaceEngine::referenceOfText(const std::shared_ptr<FaceModel>& model,
                                     const std::string& text, FaceDescriptor& reference) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (model == model_ && !text.empty() && text == lastReferenceText_) {
            reference = lastReference_;
            return kOk;
        }
    }
    const int status = describeText(*model, text, reference);
    if (status == kOk) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (model == model_) {
            lastReferenceText_ = text;
            lastReference_ = reference;
        }
    }
    return status;
}

// Every look at the camera goes through the one model, which works on one picture at a time on
// one core: however many live matches run, together they never hold more than one core.
int ModelFaceEngine::matchWithCamera(const std::shared_ptr<FaceModel>& model, int dev,
                                     const FaceDescriptor& reference, int milliseconds,
                                     int& score) {
    return watchCamera(
        frames_, dev, {milliseconds, kCertainScore, std::chrono::milliseconds(kFrameIntervalMs)},
        [&](const FrameCopy& frame, int& frameScore) {
            const cv::Mat rgb(frame.height, frame.width, CV_8UC3,
                              const_cast<uint8_t*>(frame.rgb.data()));
            FoundFace face;
            if (!model->findLargestFace(rgb, face)) return kNoFace;
            frameScore = faceScore(descriptorDistance(reference, face.descriptor));
            return kOk;
        },
        [&] { return startedModel() == model; }, score);
}

}  // namespace pictavo
