// Picture operations of the capture pipeline.
#include "pictavo/camera/image_ops.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace pictavo {
namespace {

// ---- Finding documents ----
//
// Documents are looked for on a copy of the picture at most this many pixels on its longer side:
// enough for a card on a desk, and fast. Outlines found there are then put on the edges of the
// full picture.
constexpr int kWorkSide = 640;
// How different (Lab, 8-bit units) what lies inside an outline must be from what lies outside,
// on its weakest side, and the share of places along every side where the colour changes most
// right on the outline: together they tell a document's border from an outline cut across a
// patterned desk or through the middle of a page.
constexpr double kMinimumContrast = 8;
constexpr double kMinimumAlignment = 0.5;

struct Candidate {
    std::array<cv::Point2f, 4> corners;
    double area = 0;
    double contrast = 0;
    double alignment = 0;
};

double quadArea(const std::array<cv::Point2f, 4>& q) {
    return std::abs(cv::contourArea(std::vector<cv::Point2f>(q.begin(), q.end())));
}

// Corners in the order top left, top right, bottom right, bottom left of the document as it
// lies: sorted around their centre, the first being the start of the side that runs most
// nearly left to right.
std::array<cv::Point2f, 4> ordered(std::vector<cv::Point2f> points) {
    const cv::Point2f centre = (points[0] + points[1] + points[2] + points[3]) * 0.25f;
    std::sort(points.begin(), points.end(), [&](const cv::Point2f& a, const cv::Point2f& b) {
        return std::atan2(a.y - centre.y, a.x - centre.x) <
               std::atan2(b.y - centre.y, b.x - centre.x);
    });
    size_t top = 0;
    double flattest = 1e9;
    for (size_t i = 0; i < 4; ++i) {
        const cv::Point2f side = points[(i + 1) % 4] - points[i];
        const double angle = std::abs(std::atan2(side.y, side.x));
        if (angle < flattest) {
            flattest = angle;
            top = i;
        }
    }
    std::array<cv::Point2f, 4> out;
    for (size_t i = 0; i < 4; ++i) out[i] = points[(top + i) % 4];
    return out;
}

// The quadrilateral around a region's outline: its convex hull simplified to four corners, or
// the smallest turned rectangle around it when the hull will not simplify so.
std::array<cv::Point2f, 4> quadAround(const std::vector<cv::Point>& contour) {
    std::vector<cv::Point> hull;
    cv::convexHull(contour, hull);
    const double perimeter = cv::arcLength(hull, true);
    std::vector<cv::Point> corners;
    for (double share = 0.01; share <= 0.1; share += 0.005) {
        cv::approxPolyDP(hull, corners, share * perimeter, true);
        if (corners.size() <= 4) break;
    }
    std::vector<cv::Point2f> points;
    if (corners.size() == 4) {
        for (const cv::Point& p : corners) points.emplace_back(p);
    } else {
        cv::Point2f box[4];
        cv::minAreaRect(hull).points(box);
        points.assign(box, box + 4);
    }
    return ordered(points);
}

void addCandidates(const cv::Mat& binary, double minimumArea, double maximumArea,
                   std::vector<Candidate>& out) {
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(binary, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    for (const auto& contour : contours) {
        if (cv::contourArea(contour) < minimumArea * 0.5) continue;
        Candidate candidate;
        candidate.corners = quadAround(contour);
        candidate.area = quadArea(candidate.corners);
        if (candidate.area < minimumArea || candidate.area > maximumArea) continue;
        if (!cv::isContourConvex(
                std::vector<cv::Point2f>(candidate.corners.begin(), candidate.corners.end())))
            continue;
        out.push_back(candidate);
    }
}

// One side of an outline: its ends, its direction and the normal pointing away from the
// outline's centre.
struct Side {
    cv::Point2f a, b, along, outward;
    float length = 0;
};

Side sideOf(const std::array<cv::Point2f, 4>& q, size_t index) {
    const cv::Point2f centre = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
    Side side;
    side.a = q[index];
    side.b = q[(index + 1) % 4];
    side.along = side.b - side.a;
    side.length = std::sqrt(side.along.dot(side.along));
    side.along /= std::max(side.length, 1e-3f);
    side.outward = cv::Point2f(-side.along.y, side.along.x);
    if (side.outward.dot(centre - side.a) > 0) side.outward = -side.outward;
    return side;
}

// Where across the side, near `centre`, the colour changes most: the offset from `centre`
// along `outward` (within `reach` pixels either way), nearer offsets counting more (a pattern
// beside a document is no edge of it). Each place is five pixels along the side, averaged.
// False when nothing changes there or the profile leaves the picture.
bool strongestChange(const cv::Mat& picture, const Side& side, cv::Point2f centre, float reach,
                     float& offset) {
    constexpr int kMaxSteps = 255;
    const int steps = std::min(kMaxSteps, static_cast<int>(reach * 2));
    float profile[3 * (kMaxSteps + 1)];
    for (int s = 0; s <= steps; ++s) {
        const cv::Point2f p = centre + side.outward * (static_cast<float>(s) - reach);
        float sums[3] = {0, 0, 0};
        for (int w = -2; w <= 2; ++w) {
            const cv::Point2f q = p + side.along * static_cast<float>(w);
            if (q.x < 0 || q.y < 0) return false;
            const int x = static_cast<int>(q.x), y = static_cast<int>(q.y);
            if (x + 1 >= picture.cols || y + 1 >= picture.rows) return false;
            const float fx = q.x - static_cast<float>(x), fy = q.y - static_cast<float>(y);
            const uint8_t* row0 = picture.ptr<uint8_t>(y) + 3 * x;
            const uint8_t* row1 = picture.ptr<uint8_t>(y + 1) + 3 * x;
            for (int c = 0; c < 3; ++c)
                sums[c] += (row0[c] * (1 - fx) + row0[3 + c] * fx) * (1 - fy) +
                           (row1[c] * (1 - fx) + row1[3 + c] * fx) * fy;
        }
        std::copy(sums, sums + 3, profile + 3 * s);
    }
    int best = -1;
    float strongest = 0;
    for (int s = 1; s < steps; ++s) {
        float change = 0;
        for (int c = 0; c < 3; ++c) change += std::abs(profile[3 * (s + 1) + c] - profile[3 * (s - 1) + c]);
        change *= 1.f - 0.5f * std::abs(static_cast<float>(s) - reach) / reach;
        if (change > strongest) {
            strongest = change;
            best = s;
        }
    }
    // Less than about three levels a pixel in each channel is no edge.
    constexpr float kFaintest = 5 * 2 * 3 * 3;
    if (best < 0 || strongest < kFaintest) return false;
    offset = static_cast<float>(best) - reach;
    return true;
}

// The mean colour of the 5 x 5 square around `p`; false when it is not wholly in the picture.
bool meanAround(const cv::Mat& lab, cv::Point2f p, cv::Vec3f& mean) {
    const int x = cvRound(p.x), y = cvRound(p.y);
    if (x < 2 || y < 2 || x + 2 >= lab.cols || y + 2 >= lab.rows) return false;
    // Summed here rather than by cv::mean: called thousands of times a search, for 25 pixels.
    int sums[3] = {0, 0, 0};
    for (int row = y - 2; row <= y + 2; ++row) {
        const uint8_t* p = lab.ptr<uint8_t>(row) + 3 * (x - 2);
        for (int i = 0; i < 15; i += 3) {
            sums[0] += p[i];
            sums[1] += p[i + 1];
            sums[2] += p[i + 2];
        }
    }
    mean = cv::Vec3f(static_cast<float>(sums[0] / 25.0), static_cast<float>(sums[1] / 25.0),
                     static_cast<float>(sums[2] / 25.0));
    return true;
}

// How clearly the outline separates inside from outside: for each side, the colour difference
// across it that all but a third of its places reach; the weakest side counts. Sides along the
// picture's edge (a document cut off by the frame) are left out.
double boundaryContrast(const cv::Mat& lab, const std::array<cv::Point2f, 4>& q) {
    constexpr int kPlaces = 24;
    constexpr float kAcross = 5;
    double weakest = 1e9;
    int sides = 0;
    for (size_t i = 0; i < 4; ++i) {
        const Side side = sideOf(q, i);
        if (side.length < 8) return 0;
        std::vector<double> differences;
        for (int k = 1; k < kPlaces; ++k) {
            const cv::Point2f p = side.a + (side.b - side.a) * (static_cast<float>(k) / kPlaces);
            cv::Vec3f inside, outside;
            if (!meanAround(lab, p - side.outward * kAcross, inside) ||
                !meanAround(lab, p + side.outward * kAcross, outside))
                continue;
            differences.push_back(cv::norm(inside - outside));
        }
        if (differences.size() < kPlaces / 3) continue;
        const auto third = differences.begin() + static_cast<long>(differences.size() / 3);
        std::nth_element(differences.begin(), third, differences.end());
        weakest = std::min(weakest, *third);
        ++sides;
    }
    return sides >= 2 ? weakest : 0;
}

// The share of places along the weakest side where the colour changes most right on the
// outline (within 1.5 pixels).
double alignment(const cv::Mat& picture, const std::array<cv::Point2f, 4>& q) {
    constexpr int kPlaces = 20;
    double weakest = 1;
    for (size_t i = 0; i < 4; ++i) {
        const Side side = sideOf(q, i);
        int aligned = 0;
        for (int k = 1; k < kPlaces; ++k) {
            const cv::Point2f p = side.a + (side.b - side.a) * (static_cast<float>(k) / kPlaces);
            float offset = 0;
            if (strongestChange(picture, side, p, 6, offset) && std::abs(offset) <= 1.5f) ++aligned;
        }
        weakest = std::min(weakest, static_cast<double>(aligned) / (kPlaces - 1));
    }
    return weakest;
}

// The line the side's edge really follows: the strongest change across it at many places
// (away from the corners, where the next side's edge interferes), a line fitted through them.
// False when the places do not agree on a line along the side.
bool fitSide(const cv::Mat& picture, const Side& side, float reach, cv::Vec4f& line) {
    std::vector<cv::Point2f> found;
    const int places = std::clamp(static_cast<int>(side.length / 6), 12, 200);
    for (int i = 1; i < places; ++i) {
        const float t = 0.06f + 0.88f * static_cast<float>(i) / static_cast<float>(places);
        const cv::Point2f p = side.a + (side.b - side.a) * t;
        float offset = 0;
        if (strongestChange(picture, side, p, reach, offset)) found.push_back(p + side.outward * offset);
    }
    if (found.size() < 6) return false;
    cv::fitLine(found, line, cv::DIST_HUBER, 0, 0.01, 0.01);
    size_t onLine = 0;
    for (const cv::Point2f& p : found)
        onLine += std::abs((p.x - line[2]) * line[1] - (p.y - line[3]) * line[0]) <= 1.5f;
    const float cosine = std::abs(line[0] * side.along.x + line[1] * side.along.y);
    return onLine * 2 >= found.size() && cosine > std::cos(3.0 * CV_PI / 180);
}

bool intersect(const cv::Vec4f& l1, const cv::Vec4f& l2, cv::Point2f& p) {
    const float det = l1[0] * l2[1] - l1[1] * l2[0];
    if (std::abs(det) < 1e-3f) return false;
    const float t = ((l2[2] - l1[2]) * l2[1] - (l2[3] - l1[3]) * l2[0]) / det;
    p = cv::Point2f(l1[2] + t * l1[0], l1[3] + t * l1[1]);
    return true;
}

// Puts a rough outline on the edges of `picture`: each side's line fitted anew, the corners
// where the lines meet. A side whose edge cannot be traced keeps its rough line.
std::array<cv::Point2f, 4> onEdges(const cv::Mat& picture, const std::array<cv::Point2f, 4>& rough,
                                   float reach) {
    cv::Vec4f lines[4];
    for (size_t i = 0; i < 4; ++i) {
        const Side side = sideOf(rough, i);
        if (!fitSide(picture, side, reach, lines[i]))
            lines[i] = cv::Vec4f(side.along.x, side.along.y, side.a.x, side.a.y);
    }
    std::array<cv::Point2f, 4> out = rough;
    for (size_t corner = 0; corner < 4; ++corner) {
        // Corner i lies where side i-1 meets side i.
        cv::Point2f p;
        if (!intersect(lines[(corner + 3) % 4], lines[corner], p)) continue;
        const cv::Point2f moved = p - rough[corner];
        if (moved.dot(moved) < 9 * reach * reach) out[corner] = p;
    }
    return out;
}

// The share of the smaller of two outlines that the other covers.
double overlap(const Candidate& a, const Candidate& b) {
    std::vector<cv::Point2f> common;
    const float shared = cv::intersectConvexConvex(
        std::vector<cv::Point2f>(a.corners.begin(), a.corners.end()),
        std::vector<cv::Point2f>(b.corners.begin(), b.corners.end()), common, true);
    return shared / std::max(1.0, std::min(a.area, b.area));
}

// The desk's colour: the median of the picture's edge, where documents rarely lie.
cv::Vec3f deskColour(const cv::Mat& lab) {
    constexpr int kBand = 6;
    std::array<std::vector<uint8_t>, 3> values;
    for (int y = 0; y < lab.rows; ++y) {
        const bool edgeRow = y < kBand || y >= lab.rows - kBand;
        for (int x = 0; x < lab.cols; ++x) {
            if (!edgeRow && x >= kBand && x < lab.cols - kBand) continue;
            const cv::Vec3b p = lab.at<cv::Vec3b>(y, x);
            for (size_t c = 0; c < 3; ++c) values[c].push_back(p[static_cast<int>(c)]);
        }
    }
    cv::Vec3f desk;
    for (size_t c = 0; c < 3; ++c) {
        auto middle = values[c].begin() + static_cast<long>(values[c].size() / 2);
        std::nth_element(values[c].begin(), middle, values[c].end());
        desk[static_cast<int>(c)] = *middle;
    }
    return desk;
}

// `picture` made `step` times smaller, each pixel the mean of its block (of the part of the
// picture the step divides exactly: a few pixels at the right and bottom are left out). OpenCV
// averages blocks of two by two with its vector code and other blocks many times slower, so the
// picture is halved while that stays above the size wanted, and the last step, less than a
// halving, interpolates between neighbours already averaged.
cv::Mat shrunk(const cv::Mat& picture, int step, bool bottomUp) {
    const cv::Size size(picture.cols / step, picture.rows / step);
    // The rows left out are the picture's last as seen, wherever they lie in memory.
    const int top = bottomUp ? picture.rows - size.height * step : 0;
    cv::Mat current = picture(cv::Rect(0, top, size.width * step, size.height * step));
    while (current.cols / 2 >= size.width && current.rows / 2 >= size.height) {
        const cv::Size half(current.cols / 2, current.rows / 2);
        cv::Mat halved;
        cv::resize(current(cv::Rect(0, bottomUp ? current.rows % 2 : 0, half.width * 2,
                                    half.height * 2)),
                   halved, half, 0, 0, cv::INTER_AREA);
        current = halved;
    }
    if (current.size() == size) return current;
    cv::Mat small;
    cv::resize(current, small, size, 0, 0, cv::INTER_LINEAR);
    return small;
}

// Corners between a picture's rows as seen (top first) and as they lie in memory, bottom first:
// the same mirroring either way.
std::array<cv::Point2f, 4> mirrored(std::array<cv::Point2f, 4> corners, int height) {
    for (cv::Point2f& p : corners) p.y = static_cast<float>(height - 1) - p.y;
    return corners;
}

}  // namespace

PictureView viewOf(const Raster& raster) {
    if (raster.channels != 3) return PictureView{};
    return PictureView{raster.mat(), false, false};
}

PictureView viewOf(const Frame& frame) {
    if (frame.compressed() || frame.width <= 0 || frame.height <= 0 ||
        frame.pixels.size() < frame.rowBytes() * static_cast<size_t>(frame.height))
        return PictureView{};
    return PictureView{cv::Mat(frame.height, frame.width, CV_8UC3,
                               const_cast<uint8_t*>(frame.pixels.data()), frame.rowBytes()),
                       true, true};
}

Raster rasterOf(const cv::Mat& picture) {
    Raster raster;
    raster.width = picture.cols;
    raster.height = picture.rows;
    raster.channels = picture.channels();
    raster.data.resize(raster.rowBytes() * static_cast<size_t>(raster.height));
    picture.copyTo(raster.mat());
    return raster;
}

Raster rasterFromFrame(const Frame& frame) {
    Raster raster;
    raster.width = frame.width;
    raster.height = frame.height;
    raster.channels = 3;
    raster.data.resize(raster.rowBytes() * static_cast<size_t>(raster.height));
    // Row by row: turning the rows over and the colours round in one pass.
    for (int y = 0; y < frame.height; ++y) {
        const cv::Mat in(1, frame.width, CV_8UC3, const_cast<uint8_t*>(frame.row(y)));
        cv::Mat out(1, frame.width, CV_8UC3, raster.at(0, y));
        cv::cvtColor(in, out, cv::COLOR_BGR2RGB);
    }
    return raster;
}

bool cropTo(Raster& raster, Box box) {
    box.left = std::max(box.left, 0);
    box.top = std::max(box.top, 0);
    box.right = std::min(box.right, raster.width);
    box.bottom = std::min(box.bottom, raster.height);
    if (box.width() <= 0 || box.height() <= 0) return false;
    if (box.left == 0 && box.top == 0 && box.right == raster.width && box.bottom == raster.height)
        return true;
    raster = rasterOf(raster.mat()(cv::Rect(box.left, box.top, box.width(), box.height())));
    return true;
}

Raster rotateQuarterTurns(const Raster& raster, int turns) {
    turns = ((turns % 4) + 4) % 4;
    if (turns == 0 || raster.data.empty()) return raster;
    static constexpr cv::RotateFlags kClockwise[] = {cv::ROTATE_90_CLOCKWISE, cv::ROTATE_180,
                                                     cv::ROTATE_90_COUNTERCLOCKWISE};
    cv::Mat turned;
    cv::rotate(raster.mat(), turned, kClockwise[turns - 1]);
    return rasterOf(turned);
}

void denoise(Raster& raster) {
    if (raster.width < 3 || raster.height < 3) return;
    // Neighbours within 5 pixels, weighted down sharply once their colour differs by more than
    // sensor grain does: grain goes, strokes and borders stay.
    cv::Mat out;
    cv::bilateralFilter(raster.mat(), out, 5, 24, 3);
    out.copyTo(raster.mat());
}

void stretchLevels(Raster& raster) {
    if (raster.data.empty()) return;
    cv::Mat grey = raster.mat();
    if (raster.channels == 3) cv::cvtColor(raster.mat(), grey, cv::COLOR_RGB2GRAY);
    cv::Mat histogram;
    const int bins = 256;
    const float range[] = {0, 256};
    const float* ranges[] = {range};
    cv::calcHist(&grey, 1, nullptr, cv::Mat(), histogram, 1, &bins, ranges);
    const double cut = static_cast<double>(grey.total()) / 100;
    int low = 0, high = 255;
    for (double seen = 0; low < 255 && seen + histogram.at<float>(low) <= cut; ++low)
        seen += histogram.at<float>(low);
    for (double seen = 0; high > 0 && seen + histogram.at<float>(high) <= cut; --high)
        seen += histogram.at<float>(high);
    if (high <= low) return;  // a flat picture has no levels to stretch
    cv::Mat table(1, 256, CV_8U);
    for (int v = 0; v < 256; ++v)
        table.at<uint8_t>(v) = cv::saturate_cast<uint8_t>((v - low) * 255 / (high - low));
    cv::Mat picture = raster.mat();
    cv::LUT(picture, table, picture);
}

void sharpen(Raster& raster) {
    if (raster.width < 3 || raster.height < 3) return;
    const cv::Matx33f kernel(0, -1, 0, -1, 5, -1, 0, -1, 0);
    cv::Mat out;
    cv::filter2D(raster.mat(), out, -1, kernel);
    out.copyTo(raster.mat());
}

void toGrey(Raster& raster) {
    if (raster.channels == 1) return;
    cv::Mat grey;
    cv::cvtColor(raster.mat(), grey, cv::COLOR_RGB2GRAY);
    raster = rasterOf(grey);
}

void toBlackAndWhite(Raster& raster) {
    toGrey(raster);
    if (raster.width < 3 || raster.height < 3) return;
    // Each pixel against the mean of a neighbourhood a few text lines across: ink is what is
    // clearly darker than the paper around it, wherever the light falls. The margin keeps the
    // grain of blank paper white.
    const int block = std::max(15, std::min(raster.width, raster.height) / 30) | 1;
    cv::Mat smooth;
    cv::GaussianBlur(raster.mat(), smooth, cv::Size(3, 3), 0);
    cv::Mat out;
    cv::adaptiveThreshold(smooth, out, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, block,
                          12);
    out.copyTo(raster.mat());
}

cv::Matx33d DocumentOutline::toStraightened() const {
    const cv::Point2f from[4] = {corners[0], corners[1], corners[2], corners[3]};
    const auto w = static_cast<float>(size.width), h = static_cast<float>(size.height);
    const cv::Point2f to[4] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    return cv::getPerspectiveTransform(from, to);
}

std::vector<DocumentOutline> findDocuments(const PictureView& view) {
    std::vector<DocumentOutline> documents;
    const cv::Mat& picture = view.pixels;
    if (picture.type() != CV_8UC3 || picture.cols < 16 || picture.rows < 16) return documents;
    const int width = picture.cols, height = picture.rows;
    // A whole-number step down, so that outlines found there map back onto whole blocks.
    const int step = (std::max(width, height) + kWorkSide - 1) / kWorkSide;
    const double scale = 1.0 / step;
    cv::Mat small = step > 1 ? shrunk(picture, step, view.bottomUp) : picture;
    if (view.bottomUp) {
        // A frame's rows lie bottom first; only the small copy is turned over.
        cv::Mat upright;
        cv::flip(small, upright, 0);
        small = upright;
    }
    cv::Mat lab;
    cv::cvtColor(small, lab, view.bgr ? cv::COLOR_BGR2Lab : cv::COLOR_RGB2Lab);
    std::vector<cv::Mat> channels;
    cv::split(lab, channels);
    const double area = static_cast<double>(small.cols) * small.rows;
    const double minimumArea = area / 100, maximumArea = area * 0.97;
    const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, {5, 5});
    std::vector<Candidate> candidates;

    // Outlines from edges of lightness and of colour (a blue band against a brown desk is hardly
    // lighter or darker), at a normal and at a low threshold (pale paper on a pale desk).
    // (The gradients are taken once for both thresholds: what Canny would take itself.)
    std::vector<cv::Mat> dx(3), dy(3);
    for (size_t c = 0; c < 3; ++c) {
        cv::Mat blurred;
        cv::GaussianBlur(channels[c], blurred, {5, 5}, 0);
        cv::Sobel(blurred, dx[c], CV_16S, 1, 0, 3, 1, 0, cv::BORDER_REPLICATE);
        cv::Sobel(blurred, dy[c], CV_16S, 0, 1, 3, 1, 0, cv::BORDER_REPLICATE);
    }
    for (const auto& [low, high] : {std::pair{30.0, 90.0}, std::pair{10.0, 30.0}}) {
        cv::Mat edges;
        cv::Canny(dx[0], dy[0], edges, low, high);
        for (size_t c = 1; c < 3; ++c) {
            cv::Mat colourEdges;
            cv::Canny(dx[c], dy[c], colourEdges, low / 2, high / 2);
            edges |= colourEdges;
        }
        cv::morphologyEx(edges, edges, cv::MORPH_CLOSE, square);
        addCandidates(edges, minimumArea, maximumArea, candidates);
    }

    // Regions, on a copy with the desk's patterns (wood grain, cloth) smoothed away: what
    // differs from the desk's colour, what looks like paper (light, without colour), and what
    // is light. Each split once by Otsu's threshold and once against its surroundings (uneven
    // light); the difference from the desk also at two fixed steps (a card's coloured band may
    // differ from the desk less than its face does).
    // (Averaged down to a quarter, a median over five of those pixels, and back up: a median
    // this wide at full working size would cost more than everything else here together.)
    cv::Mat quarter, smooth;
    cv::resize(lab, quarter, cv::Size(), 0.25, 0.25, cv::INTER_AREA);
    cv::medianBlur(quarter, quarter, 5);
    cv::resize(quarter, smooth, lab.size(), 0, 0, cv::INTER_LINEAR);
    std::vector<cv::Mat> planes;
    cv::split(smooth, planes);
    const cv::Vec3f desk = deskColour(smooth);
    cv::Mat fromDesk(smooth.size(), CV_8U);
    for (int y = 0; y < smooth.rows; ++y) {
        const auto* in = smooth.ptr<cv::Vec3b>(y);
        auto* out = fromDesk.ptr<uint8_t>(y);
        for (int x = 0; x < smooth.cols; ++x) {
            // Colour counts more than lightness, which light and shadow change.
            const cv::Vec3f d((in[x][0] - desk[0]), (in[x][1] - desk[1]) * 1.5f,
                              (in[x][2] - desk[2]) * 1.5f);
            out[x] = cv::saturate_cast<uint8_t>(2 * std::sqrt(d.dot(d)));
        }
    }
    for (int step : {30, 50}) {
        cv::Mat binary;
        cv::threshold(fromDesk, binary, step, 255, cv::THRESH_BINARY);
        cv::morphologyEx(binary, binary, cv::MORPH_OPEN, square);
        addCandidates(binary, minimumArea, maximumArea, candidates);
    }
    const cv::Mat chroma = cv::abs(planes[1] - 128) + cv::abs(planes[2] - 128);
    cv::Mat paper;
    cv::subtract(planes[0], chroma * 3, paper);
    for (const cv::Mat& map : {fromDesk, paper, planes[0]}) {
        cv::Mat binary;
        cv::threshold(map, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
        cv::morphologyEx(binary, binary, cv::MORPH_OPEN, square);
        addCandidates(binary, minimumArea, maximumArea, candidates);
        cv::adaptiveThreshold(map, binary, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY,
                              (kWorkSide / 4) | 1, -8);
        cv::morphologyEx(binary, binary, cv::MORPH_OPEN, square);
        addCandidates(binary, minimumArea, maximumArea, candidates);
    }

    // Several maps often give the very same outline: it is judged once.
    const auto cornersBefore = [](const Candidate& a, const Candidate& b) {
        for (size_t i = 0; i < 4; ++i) {
            if (a.corners[i].x != b.corners[i].x) return a.corners[i].x < b.corners[i].x;
            if (a.corners[i].y != b.corners[i].y) return a.corners[i].y < b.corners[i].y;
        }
        return false;
    };
    std::sort(candidates.begin(), candidates.end(), cornersBefore);
    candidates.erase(std::unique(candidates.begin(), candidates.end(),
                                 [](const Candidate& a, const Candidate& b) {
                                     return a.corners == b.corners;
                                 }),
                     candidates.end());

    // Each outline that stands out is put on the edges of the small picture and judged.
    for (Candidate& c : candidates) {
        c.contrast = boundaryContrast(lab, c.corners);
        if (c.contrast < kMinimumContrast) continue;
        c.corners = onEdges(small, c.corners, 4);
        c.area = quadArea(c.corners);
        c.contrast = boundaryContrast(lab, c.corners);
        c.alignment = alignment(small, c.corners);
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.contrast > b.contrast; });
    std::vector<Candidate> accepted;
    for (const Candidate& c : candidates) {
        if (c.contrast < kMinimumContrast) break;
        if (c.alignment < kMinimumAlignment || c.area < minimumArea || c.area > maximumArea)
            continue;
        bool seen = false;
        for (Candidate& a : accepted) {
            if (overlap(a, c) <= 0.6) continue;
            seen = true;
            // The same document twice: its outer outline is the document (a card's dark band or
            // a page's printed frame stand out too, inside it).
            if (c.area > a.area * 1.03) a = c;
        }
        if (!seen) accepted.push_back(c);
    }
    // A document lying on another one (a card on a page) is part of it.
    std::sort(accepted.begin(), accepted.end(),
              [](const Candidate& a, const Candidate& b) { return a.area > b.area; });
    std::vector<Candidate> outer;
    for (const Candidate& c : accepted) {
        bool inside = false;
        for (const Candidate& o : outer) inside = inside || overlap(o, c) > 0.6;
        if (!inside) outer.push_back(c);
    }

    // Onto the edges of the full picture.
    const auto reach = static_cast<float>(3 / scale);
    for (const Candidate& c : outer) {
        std::array<cv::Point2f, 4> corners;
        for (size_t i = 0; i < 4; ++i) corners[i] = c.corners[i] * static_cast<float>(1 / scale);
        DocumentOutline document;
        document.corners = corners;
        if (scale < 1 && view.bottomUp)
            document.corners = mirrored(onEdges(picture, mirrored(corners, height), reach), height);
        else if (scale < 1)
            document.corners = onEdges(picture, corners, reach);
        const auto length = [](cv::Point2f a, cv::Point2f b) { return std::sqrt((a - b).dot(a - b)); };
        const auto& q = document.corners;
        document.size = cv::Size(std::max(1, cvRound((length(q[0], q[1]) + length(q[3], q[2])) / 2)),
                                 std::max(1, cvRound((length(q[0], q[3]) + length(q[1], q[2])) / 2)));
        document.area = quadArea(q);
        documents.push_back(document);
    }
    return documents;
}

Raster straighten(const PictureView& view, const DocumentOutline& document) {
    Raster out;
    if (view.pixels.type() != CV_8UC3) return out;
    out.width = document.size.width;
    out.height = document.size.height;
    out.channels = 3;
    out.data.resize(out.rowBytes() * static_cast<size_t>(out.height));
    cv::Mat into = out.mat();  // written in place: same size and type
    // Out of a frame, the outline is put where it lies in the frame's memory, and only the
    // document's own pixels have their colours turned round.
    DocumentOutline inMemory = document;
    if (view.bottomUp) inMemory.corners = mirrored(document.corners, view.pixels.rows);
    cv::warpPerspective(view.pixels, into, inMemory.toStraightened(), document.size,
                        cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    if (view.bgr) cv::cvtColor(into, into, cv::COLOR_BGR2RGB);
    return out;
}

Raster stackDocuments(const std::vector<Raster>& documents) {
    if (documents.empty()) return Raster{};
    if (documents.size() == 1) return documents.front();
    int width = 0, height = 0;
    for (const Raster& d : documents) {
        width = std::max(width, d.width);
        height += d.height;
    }
    const int gap = std::max(8, width / 40);
    height += gap * static_cast<int>(documents.size() - 1);
    cv::Mat canvas(height, width, CV_8UC(documents.front().channels), cv::Scalar::all(255));
    int top = 0;
    for (const Raster& d : documents) {
        d.mat().copyTo(canvas(cv::Rect((width - d.width) / 2, top, d.width, d.height)));
        top += d.height + gap;
    }
    return rasterOf(canvas);
}

void whitenBackground(Raster& raster, const std::vector<DocumentOutline>& documents) {
    if (documents.empty() || raster.data.empty()) return;
    cv::Mat keep = cv::Mat::zeros(raster.height, raster.width, CV_8U);
    for (const DocumentOutline& d : documents) {
        std::vector<cv::Point> corners;
        for (const cv::Point2f& p : d.corners) corners.emplace_back(cvRound(p.x), cvRound(p.y));
        cv::fillConvexPoly(keep, corners, cv::Scalar(255), cv::LINE_8);
    }
    // A margin of a few pixels outside the outline: a sliver of desk may stay, paper never goes.
    const int margin = std::max(2, std::max(raster.width, raster.height) / 600);
    cv::dilate(keep, keep,
               cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * margin + 1, 2 * margin + 1}));
    raster.mat().setTo(cv::Scalar::all(255), keep == 0);
}

void paintOverSkin(Raster& raster, Box region, uint8_t r, uint8_t g, uint8_t b) {
    if (raster.channels != 3) return;
    region.left = std::max(region.left, 0);
    region.top = std::max(region.top, 0);
    region.right = std::min(region.right, raster.width);
    region.bottom = std::min(region.bottom, raster.height);
    if (region.width() <= 0 || region.height() <= 0) return;
    cv::Mat part = raster.mat()(cv::Rect(region.left, region.top, region.width(), region.height()));
    // Skin in YCrCb: a well-known box that holds most skin tones under daylight.
    cv::Mat ycrcb, skin;
    cv::cvtColor(part, ycrcb, cv::COLOR_RGB2YCrCb);
    cv::inRange(ycrcb, cv::Scalar(61, 133, 77), cv::Scalar(255, 173, 127), skin);
    part.setTo(cv::Scalar(r, g, b), skin);
}

}  // namespace pictavo
