// The face engine of the face model (face_model.h): finds the largest face of each picture,
// computes its descriptor and scores the distance between the two (faceScore). The default
// wherever scripts/setup has installed the model.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "pictavo/biometrics/face_engine.h"
#include "pictavo/biometrics/face_model.h"
#include "pictavo/biometrics/face_pictures.h"

namespace pictavo {

class ModelFaceEngine final : public FaceEngine {
  public:
    using FrameProvider = FaceFrameProvider;
    // Told one line at every init(): which engine serves and from where, or (`problem`) why it
    // cannot.
    using Announcer = std::function<void(const std::string& line, bool problem)>;

    explicit ModelFaceEngine(std::string modelDirectory, FrameProvider frames = latestCameraFrame,
                             Announcer announce = nullptr);

    // Reads the model (kFileError when it is missing or unusable); matching needs a started
    // engine and answers kFailed before init() and after uninit(). uninit() releases the model;
    // live matches still running end after the frame they are looking at.
    int init() override;
    int uninit() override;
    // kNoFace when a picture shows no face; with several faces the largest counts.
    int matchFiles(const std::string& path1, const std::string& path2, int& score) override;
    int matchImages(const std::string& image1, const std::string& image2, int& score) override;
    // Kept and reported (livenessCheck()), and changes no score: the model cannot tell a person
    // from a photograph of one.
    int setLivenessCheck(bool on) override;
    // Frames without a face are passed over; kNoFace when no frame showed one.
    int matchFileWithCamera(int dev, const std::string& path, int milliseconds,
                            int& score) override;
    int matchImageWithCamera(int dev, const std::string& image, int milliseconds,
                             int& score) override;

    bool livenessCheck() const { return liveness_.load(); }

  private:
    std::shared_ptr<FaceModel> startedModel() const;
    int referenceOfText(const std::shared_ptr<FaceModel>& model, const std::string& text,
                        FaceDescriptor& reference);
    int matchWithCamera(const std::shared_ptr<FaceModel>& model, int dev,
                        const FaceDescriptor& reference, int milliseconds, int& score);

    const std::string directory_;
    const FrameProvider frames_;
    const Announcer announce_;
    std::atomic<bool> liveness_{false};
    mutable std::mutex mutex_;
    std::shared_ptr<FaceModel> model_;  // null while stopped
    // The background match sends the same reference with every pass: its descriptor is kept.
    std::string lastReferenceText_;
    FaceDescriptor lastReference_{};
};

// The descriptor of the largest face of a decoded picture; kNoFace when it shows none.
int describeLargestFace(FaceModel& model, const Picture& picture, FaceDescriptor& descriptor);

}  // namespace pictavo
