// The face model's networks and the way pictures go through them.
#include "pictavo/biometrics/face_model.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <sys/stat.h>

namespace pictavo {
namespace {

// What the package subtracts from the R, G and B values before it divides them by 255.
const cv::Scalar kDetectorMean(117.001, 114.697, 97.404);
const cv::Scalar kFaceMean(122.782, 117.001, 104.298);
constexpr int kLandmarksSize = 112;
constexpr int kRecognizerSize = 150;
// The detector's grid: five boxes a cell, each (x, y, width, height, confidence), the boxes'
// typical sizes in cells.
constexpr int kAnchors = 5;
constexpr double kAnchorSizes[kAnchors][2] = {
    {1.603231, 2.094468}, {6.041143, 7.080126}, {2.882459, 3.518061},
    {4.266906, 5.178857}, {9.041765, 10.66308}};
// A face seen by the detector at fewer pixels than this is looked at again, closer (refined()).
constexpr double kSmallFace = 45;
// Overlapping detections of one face: the less certain one goes.
constexpr double kOverlapLimit = 0.4;
// Where the recognizer expects the face in its square (see alignedRegion).
constexpr double kAlignedX = 0.5, kAlignedY = 0.43, kAlignedScale = 0.45;

bool isFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// JavaScript's Math.round, which the package's padding arithmetic uses.
int roundHalfUp(double value) { return static_cast<int>(std::floor(value + 0.5)); }

double sigmoid(double value) { return 1 / (1 + std::exp(-value)); }

// Where one output pixel of a row or column of the square input samples the picture: two
// neighbouring pixels (-1 for the black padding) and the weight of the second.
struct Tap {
    int first, second;
    float weight;
};

// The taps along one axis: the picture's `length` pixels lie at `offset` in a square of `square`
// pixels, scaled to `side`. TensorFlow's bilinear resize without half-pixel centres: output x
// samples x * square / side, clamped at the square's last pixel.
std::vector<Tap> resizeTaps(int length, int offset, int square, int side) {
    std::vector<Tap> taps(static_cast<size_t>(side));
    const double step = static_cast<double>(square) / side;
    const auto inPicture = [&](int at) { return at >= offset && at < offset + length ? at - offset : -1; };
    for (int x = 0; x < side; ++x) {
        const double source = step * x;
        const int low = static_cast<int>(std::floor(source));
        const int high = std::min(square - 1, static_cast<int>(std::ceil(source)));
        taps[static_cast<size_t>(x)] = {inPicture(low), inPicture(high), static_cast<float>(source - low)};
    }
    return taps;
}

// A network's input (1 x 3 x side x side: R, G, B less `mean`, over 255) made from the picture as
// the package makes it: padded with black to a square, on the right or at the bottom, or
// (`centred`) split between both sides with the larger half after; then scaled to `side`
// (resizeTaps). The arithmetic follows the package's own, in single precision, so the networks
// see the same values to the last bits and the whole-pixel cuts made from their answers agree.
cv::Mat networkInput(const cv::Mat& rgb, int side, bool centred, const cv::Scalar& mean) {
    const int square = std::max(rgb.cols, rgb.rows);
    const int shortfall = square - std::min(rgb.cols, rgb.rows);
    const int before = shortfall - (centred ? roundHalfUp(shortfall * 0.5) : shortfall);
    const bool widened = rgb.cols < rgb.rows;
    const std::vector<Tap> columns = resizeTaps(rgb.cols, widened ? before : 0, square, side);
    const std::vector<Tap> rows = resizeTaps(rgb.rows, widened ? 0 : before, square, side);

    cv::Mat input(std::vector<int>{1, 3, side, side}, CV_32F);
    float* planes[3];
    for (int c = 0; c < 3; ++c) planes[c] = input.ptr<float>(0, c);
    const auto pixel = [&](const uint8_t* row, int column, int channel) -> float {
        return row != nullptr && column >= 0 ? row[column * 3 + channel] : 0.0f;
    };
    for (int y = 0; y < side; ++y) {
        const Tap& down = rows[static_cast<size_t>(y)];
        const uint8_t* upper = down.first >= 0 ? rgb.ptr<uint8_t>(down.first) : nullptr;
        const uint8_t* lower = down.second >= 0 ? rgb.ptr<uint8_t>(down.second) : nullptr;
        for (int x = 0; x < side; ++x) {
            const Tap& across = columns[static_cast<size_t>(x)];
            for (int c = 0; c < 3; ++c) {
                const float topLeft = pixel(upper, across.first, c), topRight = pixel(upper, across.second, c);
                const float bottomLeft = pixel(lower, across.first, c), bottomRight = pixel(lower, across.second, c);
                const float top = topLeft + (topRight - topLeft) * across.weight;
                const float bottom = bottomLeft + (bottomRight - bottomLeft) * across.weight;
                const float value = top + (bottom - top) * down.weight;
                planes[c][y * side + x] = static_cast<float>((value - mean[c]) / 255.0);
            }
        }
    }
    return input;
}

// The part of a box inside the picture, in whole pixels as the package cuts it (each of x, y,
// width and height rounded down on its own); empty when nothing is left.
cv::Rect cutInside(const cv::Rect2d& box, int width, int height) {
    const double left = std::max(box.x, 0.0), top = std::max(box.y, 0.0);
    const double right = std::min(box.x + box.width, static_cast<double>(width));
    const double bottom = std::min(box.y + box.height, static_cast<double>(height));
    const cv::Rect cut(static_cast<int>(std::floor(left)), static_cast<int>(std::floor(top)),
                       static_cast<int>(std::floor(right - left)),
                       static_cast<int>(std::floor(bottom - top)));
    return cut.width > 0 && cut.height > 0 ? cut : cv::Rect();
}

double overlap(const cv::Rect2d& a, const cv::Rect2d& b) {
    const double shared = (a & b).area();
    return shared / (a.area() + b.area() - shared);
}

cv::Point2d centre(const std::array<cv::Point2d, 68>& landmarks, size_t first, size_t end) {
    cv::Point2d sum(0, 0);
    for (size_t i = first; i < end; ++i) sum += landmarks[i];
    return sum / static_cast<double>(end - first);
}

// The square the recognizer sees, placed as dlib aligns faces: its side is the mean distance from
// the eyes to the mouth over kAlignedScale, and the centre of eyes and mouth lies at
// (kAlignedX, kAlignedY) of it.
cv::Rect alignedRegion(const std::array<cv::Point2d, 68>& landmarks, int width, int height) {
    const cv::Point2d leftEye = centre(landmarks, 36, 42), rightEye = centre(landmarks, 42, 48);
    const cv::Point2d mouth = centre(landmarks, 48, 68);
    const double eyesToMouth = (cv::norm(mouth - leftEye) + cv::norm(mouth - rightEye)) / 2;
    const double side = std::floor(eyesToMouth / kAlignedScale);
    const cv::Point2d middle = (leftEye + rightEye + mouth) / 3;
    const double left = std::floor(std::max(0.0, middle.x - kAlignedX * side));
    const double top = std::floor(std::max(0.0, middle.y - kAlignedY * side));
    return cutInside(cv::Rect2d(left, top, side, side), width, height);
}

// OpenCV runs a parallel loop nested in another one on the calling thread; the networks' layers
// are parallel loops, so inside this one-stripe loop they keep to one core.
template <typename Work>
void onCallingThreadOnly(Work&& work) {
    cv::parallel_for_(cv::Range(0, 1), [&](const cv::Range&) { work(); });
}

}  // namespace

bool FaceModel::installedIn(const std::string& directory) {
    for (const char* file : {kDetectorFile, kLandmarksFile, kRecognizerFile}) {
        if (!isFile(directory + "/" + file)) return false;
    }
    return true;
}

std::shared_ptr<FaceModel> FaceModel::load(const std::string& directory, std::string& problem) {
    std::shared_ptr<FaceModel> model(new FaceModel());
    const std::pair<const char*, cv::dnn::Net*> networks[] = {
        {kDetectorFile, &model->detector_},
        {kLandmarksFile, &model->landmarks_},
        {kRecognizerFile, &model->recognizer_}};
    for (const auto& [file, network] : networks) {
        const std::string path = directory + "/" + file;
        if (!isFile(path)) {
            problem = path + " is missing";
            return nullptr;
        }
        try {
            *network = cv::dnn::readNetFromONNX(path);
        } catch (const cv::Exception& error) {
            problem = path + " cannot be read: " + error.what();
            return nullptr;
        }
        if (network->empty()) {
            problem = path + " holds no network";
            return nullptr;
        }
        network->setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        network->setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    }
    return model;
}

std::vector<FoundFace> FaceModel::findFaces(const cv::Mat& rgb) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FoundFace> faces;
    onCallingThreadOnly([&] { faces = findFacesLocked(rgb, false); });
    return faces;
}

bool FaceModel::findLargestFace(const cv::Mat& rgb, FoundFace& face) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FoundFace> faces;
    onCallingThreadOnly([&] { faces = findFacesLocked(rgb, true); });
    if (faces.empty()) return false;
    face = faces.front();
    return true;
}

// The detector sees the picture shrunk to kDetectorSize and misses faces of less than about 60
// of its pixels, and it misses many faces that fill the whole picture (a passport photo, a
// close-up). When the picture as a whole shows no face, it looks again: at four overlapping
// windows of a large picture, each 0.6 of its width and height; then at the picture set on a grey
// margin, then on a wider margin of its own edges.
std::vector<FoundFace> FaceModel::findFacesLocked(const cv::Mat& rgb, bool largestOnly) {
    struct View {
        cv::Rect window;  // of the picture; the whole of it, or part of it
        int margin;       // pixels added on every side
        int border;
    };
    const cv::Rect whole(0, 0, rgb.cols, rgb.rows);
    std::vector<View> views = {{whole, 0, cv::BORDER_CONSTANT}};
    if (std::max(rgb.cols, rgb.rows) >= 3 * kDetectorSize) {
        const cv::Size size(rgb.cols * 3 / 5, rgb.rows * 3 / 5);
        for (const cv::Point corner : {cv::Point(0, 0), cv::Point(rgb.cols - size.width, 0),
                                       cv::Point(0, rgb.rows - size.height),
                                       cv::Point(rgb.cols - size.width, rgb.rows - size.height)}) {
            views.push_back({cv::Rect(corner, size), 0, cv::BORDER_CONSTANT});
        }
    }
    const int longer = std::max(rgb.cols, rgb.rows);
    views.push_back({whole, longer / 4, cv::BORDER_CONSTANT});
    views.push_back({whole, longer / 2, cv::BORDER_REPLICATE});

    std::vector<FoundFace> faces;
    for (const View& view : views) {
        cv::Mat picture = rgb(view.window);
        if (view.margin > 0) {
            cv::copyMakeBorder(rgb, picture, view.margin, view.margin, view.margin, view.margin,
                               view.border | cv::BORDER_ISOLATED, cv::Scalar::all(128));
        }
        std::vector<Detection> detections = detect(picture);
        // Largest first; a face cut off at the edge may leave nothing to describe.
        if (largestOnly) {
            std::stable_sort(detections.begin(), detections.end(),
                             [](const Detection& a, const Detection& b) {
                                 return a.box.area() > b.box.area();
                             });
        }
        // Back to the picture's own pixels.
        const cv::Point shift = view.window.tl() - cv::Point(view.margin, view.margin);
        for (const Detection& detection : detections) {
            FoundFace face;
            describe(picture, refined(picture, detection), face);
            if (face.aligned.empty()) continue;
            face.box += cv::Point2d(shift);
            face.aligned += shift;
            for (cv::Point2d& point : face.landmarks) point += cv::Point2d(shift);
            faces.push_back(face);
            if (largestOnly) return faces;
        }
        if (!faces.empty()) return faces;
    }
    return faces;
}

// A face the detector saw at less than kSmallFace of its pixels is placed only roughly, and the
// landmarks and the descriptor suffer from a rough box: it looks again at a window three times the
// face's size around it, where the face is large, and keeps the box that covers the first best.
// (Faces of the package's own pictures are larger and placed as the package places them.)
FaceModel::Detection FaceModel::refined(const cv::Mat& rgb, const Detection& detection) {
    const double seen = detection.box.width * kDetectorSize / std::max(rgb.cols, rgb.rows);
    if (seen >= kSmallFace) return detection;
    const double side = 3 * std::max(detection.box.width, detection.box.height);
    const cv::Point2d centre = (detection.box.tl() + detection.box.br()) / 2;
    const cv::Rect window = cv::Rect(cv::Point(centre - cv::Point2d(side, side) / 2),
                                     cv::Size(static_cast<int>(side), static_cast<int>(side))) &
                            cv::Rect(0, 0, rgb.cols, rgb.rows);
    if (window.width < 8 || window.height < 8) return detection;
    Detection best = detection;
    double bestOverlap = 0.3;  // a box elsewhere in the window is another face
    for (Detection closer : detect(rgb(window))) {
        closer.box += cv::Point2d(window.tl());
        const double shared = overlap(closer.box, detection.box);
        if (shared > bestOverlap) {
            best = closer;
            bestOverlap = shared;
        }
    }
    return best;
}

// The detector divides the square input into a grid of cells; each cell proposes kAnchors boxes
// relative to its anchor sizes, with a confidence.
std::vector<FaceModel::Detection> FaceModel::detect(const cv::Mat& rgb) {
    detector_.setInput(networkInput(rgb, kDetectorSize, false, kDetectorMean));
    const cv::Mat output = detector_.forward();  // 1 x (kAnchors * 5) x cells x cells
    const int cells = output.size[2];
    // The picture fills only part of the square; boxes are stretched back to the picture.
    const double scale = static_cast<double>(kDetectorSize) / std::max(rgb.cols, rgb.rows);
    const int scaledWidth = roundHalfUp(rgb.cols * scale);
    const int scaledHeight = roundHalfUp(rgb.rows * scale);
    const double stretchX = static_cast<double>(std::max(scaledWidth, scaledHeight)) / scaledWidth;
    const double stretchY =
        static_cast<double>(std::max(scaledWidth, scaledHeight)) / scaledHeight;

    std::vector<Detection> proposals;
    const float* values = output.ptr<float>();
    const auto at = [&](int anchor, int field, int row, int column) {
        return values[((anchor * 5 + field) * cells + row) * cells + column];
    };
    for (int row = 0; row < cells; ++row) {
        for (int column = 0; column < cells; ++column) {
            for (int anchor = 0; anchor < kAnchors; ++anchor) {
                const double confidence = sigmoid(at(anchor, 4, row, column));
                if (confidence <= kDetectionThreshold) continue;
                const double centreX = (column + sigmoid(at(anchor, 0, row, column))) / cells * stretchX;
                const double centreY = (row + sigmoid(at(anchor, 1, row, column))) / cells * stretchY;
                const double width =
                    std::exp(at(anchor, 2, row, column)) * kAnchorSizes[anchor][0] / cells * stretchX;
                const double height =
                    std::exp(at(anchor, 3, row, column)) * kAnchorSizes[anchor][1] / cells * stretchY;
                proposals.push_back({cv::Rect2d((centreX - width / 2) * rgb.cols,
                                                (centreY - height / 2) * rgb.rows,
                                                width * rgb.cols, height * rgb.rows),
                                     static_cast<float>(confidence)});
            }
        }
    }
    // The most certain proposal of each face stays.
    std::stable_sort(proposals.begin(), proposals.end(),
                     [](const Detection& a, const Detection& b) { return a.confidence > b.confidence; });
    std::vector<Detection> kept;
    for (const Detection& proposal : proposals) {
        const bool another = std::any_of(kept.begin(), kept.end(), [&](const Detection& k) {
            return overlap(k.box, proposal.box) > kOverlapLimit;
        });
        if (!another) kept.push_back(proposal);
    }
    return kept;
}

// Landmarks on the detected region, then the descriptor of the region they span.
void FaceModel::describe(const cv::Mat& rgb, const Detection& detection, FoundFace& face) {
    face = FoundFace();
    face.box = detection.box;
    face.confidence = detection.confidence;
    const cv::Rect cut = cutInside(detection.box, rgb.cols, rgb.rows);
    if (cut.empty()) return;

    landmarks_.setInput(networkInput(rgb(cut), kLandmarksSize, true, kFaceMean));
    const cv::Mat points = landmarks_.forward();  // 1 x 136: x, y of each point in the square
    // The square held the region scaled and centred; back to the picture's pixels.
    const double scale = static_cast<double>(kLandmarksSize) / std::max(cut.width, cut.height);
    const double width = cut.width * scale, height = cut.height * scale;
    const double padX = width < height ? (height - width) / 2 : 0;
    const double padY = height < width ? (width - height) / 2 : 0;
    // The package places the points from the detection box's own corner, not the whole pixel the
    // region was cut at; so do we, except past the picture's edge, where the cut starts.
    const cv::Point2d origin(std::max(detection.box.x, 0.0), std::max(detection.box.y, 0.0));
    for (size_t i = 0; i < face.landmarks.size(); ++i) {
        const float* xy = points.ptr<float>() + 2 * i;
        face.landmarks[i] = origin + cv::Point2d((xy[0] * kLandmarksSize - padX) / width * cut.width,
                                                 (xy[1] * kLandmarksSize - padY) / height * cut.height);
    }
    face.aligned = alignedRegion(face.landmarks, rgb.cols, rgb.rows);
    if (face.aligned.empty()) return;

    recognizer_.setInput(networkInput(rgb(face.aligned), kRecognizerSize, true, kFaceMean));
    const cv::Mat descriptor = recognizer_.forward();  // 1 x 128
    std::copy_n(descriptor.ptr<float>(), face.descriptor.size(), face.descriptor.begin());
}

double descriptorDistance(const FaceDescriptor& a, const FaceDescriptor& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += (double{a[i]} - b[i]) * (double{a[i]} - b[i]);
    return std::sqrt(sum);
}

int faceScore(double distance) {
    if (!(distance >= 0)) return 0;  // not a number: nothing is known to be alike
    return static_cast<int>(
        std::lround(100 / (1 + std::exp((distance - kScoreMidpoint) / kScoreSpread))));
}

}  // namespace pictavo
