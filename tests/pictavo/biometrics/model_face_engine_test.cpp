// The face model's engine on real photographs: the face-recognition package's own sample
// pictures (installed with it by scripts/setup), cut, turned, scaled and spoilt as a counter's
// pictures are.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <atomic>
#include <string>
#include <vector>

#include "../temp_dir.h"
#include "common/base64.h"
#include "common/jpeg_codec.h"
#include "pictavo/biometrics/model_face_engine.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

cv::Mat sample(int number) {
    Picture picture;
    const std::string path = std::string(PICTAVO_FACE_SAMPLES) + "/sample" + std::to_string(number) + ".jpg";
    EXPECT_EQ(facePictureOfFile(path, picture), kOk) << path << " (scripts/setup installs it)";
    return cv::Mat(picture.height, picture.width, CV_8UC3, picture.pixels.data()).clone();
}

std::string jpegFile(const cv::Mat& rgb, int quality = 92) {
    std::vector<uint8_t> bytes;
    lenvaro::jpeg::EncodeOptions options;
    options.quality = quality;
    EXPECT_TRUE(lenvaro::jpeg::encode(rgb.data, rgb.cols, rgb.rows, 3, rgb.step, options, bytes));
    return std::string(bytes.begin(), bytes.end());
}

std::string jpegText(const cv::Mat& rgb, int quality = 92) {
    return lenvaro::base64Encode(jpegFile(rgb, quality));
}

cv::Mat decodedText(const std::string& text) {
    Picture picture;
    EXPECT_EQ(facePictureOfText(text, picture), kOk);
    return cv::Mat(picture.height, picture.width, CV_8UC3, picture.pixels.data()).clone();
}

cv::Mat turned(const cv::Mat& m, double degrees) {
    cv::Mat out;
    cv::warpAffine(m, out, cv::getRotationMatrix2D(cv::Point2f(m.cols / 2.f, m.rows / 2.f), degrees, 1),
                   m.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return out;
}

// A head-and-shoulders picture around a face the model found, as a camera or a card holds one.
cv::Mat portrait(const cv::Mat& picture, const FoundFace& face) {
    const double width = face.box.width * 1.6, height = width * 1.3;
    const cv::Point2d centre(face.box.x + face.box.width / 2, face.box.y + face.box.height * 0.45);
    const cv::Rect area = cv::Rect(cv::Point(centre.x - width / 2, centre.y - height / 2),
                                   cv::Size(width, height)) & cv::Rect(0, 0, picture.cols, picture.rows);
    return picture(area).clone();
}

class ModelFaceEngineTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string problem;
        model_ = FaceModel::load(PICTAVO_FACE_MODEL, problem);
        ASSERT_TRUE(model_) << problem << " (scripts/setup converts the model)";
    }
    static void TearDownTestSuite() { model_.reset(); }

    int score(const cv::Mat& a, const cv::Mat& b) {
        FoundFace first, second;
        if (!model_->findLargestFace(a, first) || !model_->findLargestFace(b, second)) return kNoFace;
        return faceScore(descriptorDistance(first.descriptor, second.descriptor));
    }

    static std::shared_ptr<FaceModel> model_;
    pictavo_test::TempDir dir_;
};

std::shared_ptr<FaceModel> ModelFaceEngineTest::model_;

TEST_F(ModelFaceEngineTest, OnePersonStaysThePersonWhenThePictureChanges) {
    const struct {
        const char* change;
        std::function<cv::Mat(const cv::Mat&)> apply;
        int atLeast;
    } changes[] = {
        {"the card's small photo", [](const cv::Mat& m) {
             cv::Mat card;
             cv::resize(m, card, cv::Size(102, 126), 0, 0, cv::INTER_AREA);
             return decodedText(jpegText(card, 75));
         }, 80},
        {"half the size", [](const cv::Mat& m) {
             cv::Mat half;
             cv::resize(m, half, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
             return half;
         }, 80},
        {"darker", [](const cv::Mat& m) { cv::Mat out; m.convertTo(out, -1, 0.5); return out; }, 80},
        {"brighter", [](const cv::Mat& m) { cv::Mat out; m.convertTo(out, -1, 1.3, 30); return out; }, 80},
        {"JPEG quality 10", [](const cv::Mat& m) { return decodedText(jpegText(m, 10)); }, 80},
        {"a small part of a camera frame", [](const cv::Mat& m) {
             cv::Mat frame(1080, 1920, CV_8UC3, cv::Scalar(90, 100, 110));
             cv::Mat small;
             cv::resize(m, small, cv::Size(), 300.0 / m.cols, 300.0 / m.cols, cv::INTER_AREA);
             small.copyTo(frame(cv::Rect(cv::Point(900, 300), small.size())));
             return frame;
         }, 80},
        // The square the descriptor comes from is not turned back (as the package has it).
        {"turned 10 degrees", [](const cv::Mat& m) { return turned(m, 10); }, 80},
        {"turned -15 degrees", [](const cv::Mat& m) { return turned(m, -15); }, 80},
    };
    // Faces of three people in three pictures: by the package's sample number and the face's
    // place among those the model finds.
    for (const auto& [number, index] : {std::pair{2, 0}, std::pair{5, 3}, std::pair{6, 1}}) {
        const cv::Mat picture = sample(number);
        const std::vector<FoundFace> faces = model_->findFaces(picture);
        ASSERT_GT(faces.size(), static_cast<size_t>(index));
        const cv::Mat original = portrait(picture, faces[index]);
        for (const auto& change : changes) {
            EXPECT_GE(score(original, change.apply(original)), change.atLeast)
                << "sample " << number << " face " << index << ": " << change.change;
        }
    }
}

TEST_F(ModelFaceEngineTest, DifferentPeopleScoreLow) {
    // People in one photograph are certainly different people.
    int pairs = 0;
    for (int number : {1, 3, 4, 5, 6}) {
        const std::vector<FoundFace> faces = model_->findFaces(sample(number));
        for (size_t a = 0; a < faces.size(); ++a) {
            for (size_t b = a + 1; b < faces.size(); ++b, ++pairs) {
                EXPECT_LE(faceScore(descriptorDistance(faces[a].descriptor, faces[b].descriptor)), 45)
                    << "sample " << number << " faces " << a << " and " << b;
            }
        }
    }
    EXPECT_GE(pairs, 25);
}

TEST_F(ModelFaceEngineTest, TheLargestFaceCountsAndAPictureWithoutOneSaysSo) {
    ModelFaceEngine engine(PICTAVO_FACE_MODEL);
    ASSERT_EQ(engine.init(), kOk);
    const cv::Mat group = sample(5);
    const std::vector<FoundFace> faces = model_->findFaces(group);
    ASSERT_GE(faces.size(), 2u);
    // Two people side by side, the second larger: the larger one is compared.
    const cv::Mat small = portrait(group, faces[0]), large = portrait(group, faces[1]);
    cv::Mat smaller, pair(std::max(2 * small.rows, large.rows), small.cols / 2 + large.cols, CV_8UC3, cv::Scalar::all(200));
    cv::resize(small, smaller, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    smaller.copyTo(pair(cv::Rect(cv::Point(0, 0), smaller.size())));
    large.copyTo(pair(cv::Rect(cv::Point(smaller.cols, 0), large.size())));
    int withLarge = -1, withSmall = -1;
    ASSERT_EQ(engine.matchImages(jpegText(pair), jpegText(large), withLarge), kOk);
    ASSERT_EQ(engine.matchImages(jpegText(pair), jpegText(small), withSmall), kOk);
    EXPECT_GE(withLarge, 80);
    EXPECT_LE(withSmall, 45);

    // Nothing like a face: a plain wall, stripes, a page of text; the score is left alone.
    cv::Mat stripes(480, 640, CV_8UC3);
    for (int y = 0; y < stripes.rows; ++y) stripes.row(y).setTo(cv::Scalar::all((y / 16) % 2 ? 30 : 230));
    cv::Mat page(1100, 850, CV_8UC3, cv::Scalar::all(250));
    for (int line = 0; line < 30; ++line) {
        cv::putText(page, "Account 4417 1234 5678 9113 opened on 2024-05-01", cv::Point(60, 80 + line * 32),
                    cv::FONT_HERSHEY_SIMPLEX, 0.8, cv::Scalar::all(20), 2);
    }
    for (const cv::Mat& blank : {cv::Mat(300, 400, CV_8UC3, cv::Scalar(120, 140, 160)), stripes, page}) {
        int score = -77;
        EXPECT_EQ(engine.matchImages(jpegText(blank), jpegText(large), score), kNoFace);
        EXPECT_EQ(score, -77);
    }
}

TEST_F(ModelFaceEngineTest, StatusesOfTheEngine) {
    const cv::Mat person = portrait(sample(2), model_->findFaces(sample(2)).at(0));
    const std::string face = jpegText(person);
    const std::string path = dir_.write("face.jpg", jpegFile(person));
    const std::string notAPicture = dir_.write("notes.txt", "no picture here");
    ModelFaceEngine engine(PICTAVO_FACE_MODEL), missing(dir_.file("no-model"));
    int score = 0;
    EXPECT_EQ(engine.matchFiles(path, path, score), kFailed);  // not started
    EXPECT_EQ(missing.init(), kFileError);
    EXPECT_EQ(missing.matchFiles(path, path, score), kFailed);
    ASSERT_EQ(engine.init(), kOk);
    EXPECT_EQ(engine.matchFiles(path, path, score), kOk);
    EXPECT_EQ(score, 100);
    EXPECT_EQ(engine.matchFiles(path, dir_.file("gone.jpg"), score), kFileError);
    EXPECT_EQ(engine.matchFiles(notAPicture, path, score), kNotSupported);
    EXPECT_EQ(engine.matchImages(face, "not*base64", score), kInvalidArgument);
    EXPECT_EQ(engine.uninit(), kOk);
    EXPECT_EQ(engine.matchImages(face, face, score), kFailed);
}

TEST_F(ModelFaceEngineTest, ALiveMatchPassesOverFramesWithoutAFaceAndStopsWhenSure) {
    const cv::Mat person = portrait(sample(2), model_->findFaces(sample(2)).at(0));
    const auto frameOf = [](const cv::Mat& rgb) {
        FrameCopy frame;
        frame.width = rgb.cols;
        frame.height = rgb.rows;
        frame.rgb.assign(rgb.datastart, rgb.dataend);
        return frame;
    };
    const FrameCopy empty = frameOf(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128)));
    const FrameCopy present = frameOf(person);
    std::atomic<int> looks{0};
    ModelFaceEngine engine(PICTAVO_FACE_MODEL, [&](int, FrameCopy& frame) {
        frame = ++looks <= 2 ? empty : present;  // the person steps in at the third look
        return kOk;
    });
    ASSERT_EQ(engine.init(), kOk);
    int score = 0;
    EXPECT_EQ(engine.matchImageWithCamera(0, jpegText(person), 60000, score), kOk);
    EXPECT_GE(score, ModelFaceEngine::kCertainScore);
    EXPECT_EQ(looks.load(), 3);  // stopped as soon as it was sure

    // Nobody in front of the camera: no face, after the time given.
    ModelFaceEngine nobody(PICTAVO_FACE_MODEL, [&](int, FrameCopy& frame) {
        frame = empty;
        return kOk;
    });
    ASSERT_EQ(nobody.init(), kOk);
    score = -77;
    EXPECT_EQ(nobody.matchImageWithCamera(0, jpegText(person), 300, score), kNoFace);
    EXPECT_EQ(score, -77);
}

}  // namespace
}  // namespace pictavo
