// Prints, as JSON, every face the built-in library's face model finds in the pictures named on
// the command line: its box, landmarks, aligned region and descriptor. The reference test
// (tests/web/face_reference.test.mjs) holds these against the package's own results.
//
//   face_descriptors <model directory> <picture>...
#include <json/json.h>

#include <iostream>
#include <opencv2/core.hpp>

#include "pictavo/biometrics/face_model.h"
#include "pictavo/imaging/picture.h"
#include "pictavo/status.h"

namespace {

Json::Value rectangle(double x, double y, double width, double height) {
    Json::Value value(Json::arrayValue);
    for (double v : {x, y, width, height}) value.append(v);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: face_descriptors <model directory> <picture>...\n";
        return 2;
    }
    std::string problem;
    const auto model = pictavo::FaceModel::load(argv[1], problem);
    if (!model) {
        std::cerr << problem << "\n";
        return 1;
    }
    Json::Value pictures(Json::arrayValue);
    for (int i = 2; i < argc; ++i) {
        std::vector<uint8_t> bytes;
        pictavo::Picture picture;
        if (pictavo::readPictureFile(argv[i], bytes) != pictavo::kOk ||
            pictavo::decodePicture(bytes, picture) != pictavo::kOk) {
            std::cerr << argv[i] << ": not a readable picture\n";
            return 1;
        }
        pictavo::expandToRgb(picture);
        const cv::Mat rgb(picture.height, picture.width, CV_8UC3, picture.pixels.data());
        Json::Value entry;
        entry["image"] = argv[i];
        entry["width"] = picture.width;
        entry["height"] = picture.height;
        entry["faces"] = Json::Value(Json::arrayValue);
        for (const pictavo::FoundFace& face : model->findFaces(rgb)) {
            Json::Value found;
            found["confidence"] = face.confidence;
            found["box"] = rectangle(face.box.x, face.box.y, face.box.width, face.box.height);
            found["aligned"] = rectangle(face.aligned.x, face.aligned.y, face.aligned.width,
                                         face.aligned.height);
            for (const cv::Point2d& point : face.landmarks) {
                Json::Value xy(Json::arrayValue);
                xy.append(point.x);
                xy.append(point.y);
                found["landmarks"].append(xy);
            }
            for (float value : face.descriptor) found["descriptor"].append(value);
            entry["faces"].append(found);
        }
        pictures.append(entry);
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::cout << Json::writeString(writer, pictures) << "\n";
    return 0;
}
