// Picture operations of the capture pipeline.
#include "pictavo/camera/image_ops.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "pictavo/camera/parallel_loop.h"

namespace pictavo {
namespace {

// ---- Finding documents ----
//
// Documents are looked for on a copy of the picture at most this many pixels on its longer side:
// enough for a card on a desk, and fast. Outlines found there are then put on the edges of the
// full picture.
constexpr int kWorkSide = 400;
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

// The pixels of a matrix of B,G,R or Lab values, read one at a time.
struct MatPixels {
    const cv::Mat& picture;
    int cols() const { return picture.cols; }
    int rows() const { return picture.rows; }
    const uint8_t* at(int x, int y, uint8_t*) const { return picture.ptr<uint8_t>(y) + 3 * x; }
};

// The pixels of the copy sampled(picture, step, bottomUp) would make, each made when it is
// read: tracing an outline's sides reads a few thousand of them, far fewer than the copy has.
struct SampledPixels {
    const cv::Mat& picture;
    int step;
    bool bottomUp;
    int cols() const { return picture.cols / step; }
    int rows() const { return picture.rows / step; }
    const uint8_t* at(int x, int y, uint8_t* made) const {
        const int near = step / 4, far = (3 * step) / 4;
        const auto row = [&](int seen) {
            return picture.ptr<uint8_t>(bottomUp ? picture.rows - 1 - seen : seen);
        };
        const uint8_t* top = row(y * step + near);
        const uint8_t* bottom = row(y * step + far);
        const int left = 3 * (x * step + near), right = 3 * (x * step + far);
        for (int c = 0; c < 3; ++c)
            made[c] = static_cast<uint8_t>(
                (top[left + c] + top[right + c] + bottom[left + c] + bottom[right + c] + 2) / 4);
        return made;
    }
};

// Where across the side, near `centre`, the colour changes most: the offset from `centre`
// along `outward` (within `reach` pixels either way), nearer offsets counting more (a pattern
// beside a document is no edge of it). Each place is five pixels along the side, averaged.
// False when nothing changes there or the profile leaves the picture.
// With `towards` (a unit colour step, outside minus inside), only changes that way count, by
// their size that way: a document's edge changes from its own colour to the desk's, while text
// and patterns near it change every way.
template <typename Pixels>
bool strongestChange(const Pixels& picture, const Side& side, cv::Point2f centre, float reach,
                     float& offset, const cv::Vec3f* towards = nullptr) {
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
            if (x + 1 >= picture.cols() || y + 1 >= picture.rows()) return false;
            const float fx = q.x - static_cast<float>(x), fy = q.y - static_cast<float>(y);
            uint8_t made[4][3];
            const uint8_t* topLeft = picture.at(x, y, made[0]);
            const uint8_t* topRight = picture.at(x + 1, y, made[1]);
            const uint8_t* bottomLeft = picture.at(x, y + 1, made[2]);
            const uint8_t* bottomRight = picture.at(x + 1, y + 1, made[3]);
            for (int c = 0; c < 3; ++c)
                sums[c] += (topLeft[c] * (1 - fx) + topRight[c] * fx) * (1 - fy) +
                           (bottomLeft[c] * (1 - fx) + bottomRight[c] * fx) * fy;
        }
        std::copy(sums, sums + 3, profile + 3 * s);
    }
    int best = -1;
    float strongest = 0;
    for (int s = 1; s < steps; ++s) {
        float change = 0;
        if (towards != nullptr) {
            for (int c = 0; c < 3; ++c)
                change += (profile[3 * (s + 1) + c] - profile[3 * (s - 1) + c]) * (*towards)[c];
            // As large as the sum over the channels for a step of grey.
            change *= std::sqrt(3.f);
        } else {
            for (int c = 0; c < 3; ++c)
                change += std::abs(profile[3 * (s + 1) + c] - profile[3 * (s - 1) + c]);
        }
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
            if (strongestChange(MatPixels{picture}, side, p, 6, offset) && std::abs(offset) <= 1.5f)
                ++aligned;
        }
        weakest = std::min(weakest, static_cast<double>(aligned) / (kPlaces - 1));
    }
    return weakest;
}

// The line the side's edge really follows: the strongest change across it at many places
// (away from the corners, where the next side's edge interferes), a line fitted through them.
// False when the places do not agree on a line along the side.
template <typename Pixels>
bool fitSide(const Pixels& picture, const Side& side, float reach, cv::Vec4f& line,
             const cv::Vec3f* towards = nullptr) {
    std::vector<cv::Point2f> found;
    const int places = std::clamp(static_cast<int>(side.length / 6), 12, 60);
    for (int i = 1; i < places; ++i) {
        const float t = 0.06f + 0.88f * static_cast<float>(i) / static_cast<float>(places);
        const cv::Point2f p = side.a + (side.b - side.a) * t;
        float offset = 0;
        if (strongestChange(picture, side, p, reach, offset, towards))
            found.push_back(p + side.outward * offset);
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
// With `steps`, each side's edge is the change from the document's colour to the desk's there.
template <typename Pixels>
std::array<cv::Point2f, 4> onEdges(const Pixels& picture, const std::array<cv::Point2f, 4>& rough,
                                   float reach, const std::array<cv::Vec3f, 4>* steps = nullptr) {
    cv::Vec4f lines[4];
    // The sides shared out among the cores (on the camera's whole frame, tracing waits on memory).
    parallelFor(cv::Range(0, 4), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const Side side = sideOf(rough, static_cast<size_t>(i));
            if (!fitSide(picture, side, reach, lines[i], steps ? &(*steps)[i] : nullptr))
                lines[i] = cv::Vec4f(side.along.x, side.along.y, side.a.x, side.a.y);
        }
    });
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

// ---- Cards ----
//
// ID-1 cards (identity, bank and social-security cards) are 85.6 x 54 mm: an outline of that
// shape is most likely a card, and a part of a card (a box printed on it, or the card without a
// dark band or a photo along its edge that merges with the desk) most likely grows into one.
constexpr double kCardAspect = 85.6 / 54;
constexpr double kCardAspectTolerance = 0.08;
// A card-shaped outline counts with less contrast than other documents: a pale card on a white
// desk differs from it by ten levels or so.
constexpr double kMinimumCardContrast = 4;
// The faintest straight edge (Lab levels across two pixels, reached by two thirds of the places
// along a side) a card's side may lie on.
constexpr float kFaintestCardEdge = 4;
// A card-shaped outline that stands out clearly counts when the colour changes on it at fewer
// places along a side: a dark photo along a card's edge on a dark desk hides part of that edge.
constexpr double kMinimumCardAlignment = 0.4;

double lengthOf(cv::Point2f a, cv::Point2f b) { return std::sqrt((a - b).dot(a - b)); }

bool cardShaped(const std::array<cv::Point2f, 4>& q) {
    const double across = (lengthOf(q[0], q[1]) + lengthOf(q[3], q[2])) / 2;
    const double down = (lengthOf(q[0], q[3]) + lengthOf(q[1], q[2])) / 2;
    const double aspect = std::max(across, down) / std::max(1e-3, std::min(across, down));
    return std::abs(aspect / kCardAspect - 1) <= kCardAspectTolerance;
}

// How clearly one straight edge runs through a row of places, from the colour changes across it
// at each place (outside minus inside): the size of their mean, in full when four places in
// five change that way by at least half as much, falling to nothing when only half do. A
// pattern changes one way here and another there; an edge the same way all along.
float coherentChange(const cv::Vec3f* changes, size_t count) {
    if (count == 0) return 0;
    cv::Vec3f mean(0, 0, 0);
    for (size_t k = 0; k < count; ++k) mean += changes[k];
    mean *= 1.f / static_cast<float>(count);
    const float size = static_cast<float>(cv::norm(mean));
    if (size < 1e-3f) return 0;
    size_t agreeing = 0;
    for (size_t k = 0; k < count; ++k) agreeing += changes[k].dot(mean) >= 0.5f * size * size;
    const float share = static_cast<float>(agreeing) / static_cast<float>(count);
    return size * std::clamp((share - 0.5f) / 0.3f, 0.f, 1.f);
}

// The colour changes across a line through `places`, between two pixels inside and two outside
// (so that an edge a pixel off the line counts), for the places wholly in the picture.
// `outward` points from inside to outside.
size_t changesAcross(const cv::Mat& lab, const cv::Point2f* places, size_t count,
                     cv::Point2f outward, cv::Vec3f* changes) {
    size_t kept = 0;
    for (size_t k = 0; k < count; ++k) {
        const cv::Point2f in = places[k] - outward * 2.f, out = places[k] + outward * 2.f;
        const int xi = cvRound(in.x), yi = cvRound(in.y), xo = cvRound(out.x), yo = cvRound(out.y);
        if (std::min({xi, yi, xo, yo}) < 0 || std::max(xi, xo) >= lab.cols ||
            std::max(yi, yo) >= lab.rows)
            continue;
        const cv::Vec3b a = lab.at<cv::Vec3b>(yi, xi), b = lab.at<cv::Vec3b>(yo, xo);
        changes[kept++] = cv::Vec3f(b[0] - a[0], b[1] - a[1], b[2] - a[2]);
    }
    return kept;
}

constexpr size_t kPlacesAlongSide = 24;

// How clearly a straight edge runs along a side (within the seed's extent) at each distance
// outward from it, up to `farthest` pixels. Distances whose places lie mostly outside the
// picture have none.
std::vector<float> edgesOutward(const cv::Mat& lab, const Side& side, int farthest) {
    std::vector<float> evidence(static_cast<size_t>(farthest + 1), 0.f);
    cv::Point2f places[kPlacesAlongSide];
    cv::Vec3f changes[kPlacesAlongSide];
    for (int d = 0; d <= farthest; ++d) {
        for (size_t k = 0; k < kPlacesAlongSide; ++k)
            places[k] = side.a + (side.b - side.a) * (0.1f + 0.8f * static_cast<float>(k) /
                                                                 (kPlacesAlongSide - 1)) +
                        side.outward * static_cast<float>(d);
        const size_t kept = changesAcross(lab, places, kPlacesAlongSide, side.outward, changes);
        if (kept >= kPlacesAlongSide / 2)
            evidence[static_cast<size_t>(d)] = coherentChange(changes, kept);
    }
    return evidence;
}

// How clearly an outline's sides lie on edges from end to end (the rounded corners of a card
// left out): the weakest side's.
float edgesAlongSides(const cv::Mat& lab, const std::array<cv::Point2f, 4>& q) {
    float weakest = 1e9f;
    cv::Point2f places[kPlacesAlongSide];
    cv::Vec3f changes[kPlacesAlongSide];
    for (size_t i = 0; i < 4; ++i) {
        const Side side = sideOf(q, i);
        for (size_t k = 0; k < kPlacesAlongSide; ++k)
            places[k] = side.a + (side.b - side.a) * (0.08f + 0.84f * static_cast<float>(k) /
                                                                  (kPlacesAlongSide - 1));
        const size_t kept = changesAcross(lab, places, kPlacesAlongSide, side.outward, changes);
        if (kept < kPlacesAlongSide / 2) return 0;
        weakest = std::min(weakest, coherentChange(changes, kept));
    }
    return weakest;
}

// The cards `seed` may be part of: each side of the seed stays or moves outward onto a straight
// edge along it; of the combinations whose every side lies on an edge from end to end, whose
// shape is a card's and which lie wholly in the picture, the `most` largest, largest first. A
// combination that moves no side is none.
std::vector<std::array<cv::Point2f, 4>> cardsAround(const cv::Mat& lab,
                                                   const std::array<cv::Point2f, 4>& seed,
                                                   size_t most) {
    constexpr size_t kMovesPerSide = 4;
    Side sides[4];
    std::vector<float> evidence[4];
    std::vector<int> moves[4];
    double longest = 0;
    for (size_t i = 0; i < 4; ++i) longest = std::max(longest, lengthOf(seed[i], seed[(i + 1) % 4]));
    // A portrait box is about two thirds of the card's height, and the card reaches one and a
    // half times that beyond it.
    const int farthest = static_cast<int>(2.2 * longest);
    for (size_t i = 0; i < 4; ++i) {
        sides[i] = sideOf(seed, i);
        evidence[i] = edgesOutward(lab, sides[i], farthest);
        const std::vector<float>& e = evidence[i];
        std::vector<std::pair<float, int>> peaks;
        // The strongest within a twenty-fifth of the seed either way: the soft shadow beside a
        // card's edge, or a blurred edge, is no second edge.
        const int kApart = std::max(4, static_cast<int>(longest / 25));
        const int size = static_cast<int>(e.size());
        for (int d = 2; d < size; ++d) {
            if (e[static_cast<size_t>(d)] < kFaintestCardEdge) continue;
            bool strongest = true;
            for (int n = std::max(0, d - kApart); n <= std::min(size - 1, d + kApart) && strongest; ++n)
                strongest = n == d || e[static_cast<size_t>(n)] < e[static_cast<size_t>(d)] ||
                            (e[static_cast<size_t>(n)] == e[static_cast<size_t>(d)] && n > d);
            if (strongest) peaks.emplace_back(e[static_cast<size_t>(d)], d);
        }
        std::sort(peaks.rbegin(), peaks.rend());
        if (peaks.size() > kMovesPerSide) peaks.resize(kMovesPerSide);
        moves[i].push_back(0);
        for (const auto& peak : peaks) moves[i].push_back(peak.second);
    }
    std::vector<std::pair<float, std::array<cv::Point2f, 4>>> cards;
    size_t choice[4];
    for (choice[0] = 0; choice[0] < moves[0].size(); ++choice[0])
        for (choice[1] = 0; choice[1] < moves[1].size(); ++choice[1])
            for (choice[2] = 0; choice[2] < moves[2].size(); ++choice[2])
                for (choice[3] = 0; choice[3] < moves[3].size(); ++choice[3]) {
                    if (choice[0] + choice[1] + choice[2] + choice[3] == 0) continue;
                    bool onEdges = true;
                    cv::Vec4f lines[4];
                    for (size_t i = 0; i < 4; ++i) {
                        const int d = moves[i][choice[i]];
                        const float e = evidence[i][static_cast<size_t>(d)];
                        onEdges = onEdges && e >= kFaintestCardEdge;
                        const cv::Point2f through =
                            sides[i].a + sides[i].outward * static_cast<float>(d);
                        lines[i] = cv::Vec4f(sides[i].along.x, sides[i].along.y, through.x, through.y);
                    }
                    if (!onEdges) continue;
                    std::array<cv::Point2f, 4> grown;
                    bool meet = true;
                    for (size_t corner = 0; corner < 4 && meet; ++corner)
                        meet = intersect(lines[(corner + 3) % 4], lines[corner], grown[corner]);
                    // A card cut off by the picture's edge cannot be told from a part of one.
                    for (size_t corner = 0; corner < 4 && meet; ++corner)
                        meet = grown[corner].x >= 0 && grown[corner].y >= 0 &&
                               grown[corner].x < static_cast<float>(lab.cols) &&
                               grown[corner].y < static_cast<float>(lab.rows);
                    if (meet && cardShaped(grown) && edgesAlongSides(lab, grown) >= kFaintestCardEdge)
                        cards.emplace_back(static_cast<float>(quadArea(grown)), grown);
                }
    // The largest: a box printed on the card, or the card's own parts, make smaller ones.
    std::sort(cards.begin(), cards.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::array<cv::Point2f, 4>> out;
    for (size_t i = 0; i < cards.size() && i < most; ++i) out.push_back(cards[i].second);
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

// `picture` made `step` times smaller, upright (top row first) whichever way its rows lie in
// memory: each pixel the mean of four of its block's, a quarter and three quarters of the way
// across it each way. Reading a few rows of each block rather than all of them: the search needs
// no more, and the picture is the camera's whole frame.
cv::Mat sampled(const cv::Mat& picture, int step, bool bottomUp) {
    const SampledPixels pixels{picture, step, bottomUp};
    cv::Mat small(pixels.rows(), pixels.cols(), CV_8UC3);
    // Rows shared out among the cores: the reads from the whole frame wait on memory.
    parallelFor(cv::Range(0, small.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            uint8_t* out = small.ptr<uint8_t>(y);
            for (int x = 0; x < small.cols; ++x) pixels.at(x, y, out + 3 * x);
        }
    });
    return small;
}

// Each side's colour step, outside minus inside, as a unit vector (zero where it cannot be told):
// the mean over places along the side of the colours a few pixels either side of it.
std::array<cv::Vec3f, 4> colourSteps(const cv::Mat& picture, const std::array<cv::Point2f, 4>& q) {
    constexpr int kPlaces = 16;
    std::array<cv::Vec3f, 4> steps;
    for (size_t i = 0; i < 4; ++i) {
        const Side side = sideOf(q, i);
        cv::Vec3f sum(0, 0, 0);
        for (int k = 1; k < kPlaces; ++k) {
            const cv::Point2f p = side.a + (side.b - side.a) * (static_cast<float>(k) / kPlaces);
            cv::Vec3f inside, outside;
            if (meanAround(picture, p - side.outward * 4.f, inside) &&
                meanAround(picture, p + side.outward * 4.f, outside))
                sum += outside - inside;
        }
        const double size = cv::norm(sum);
        steps[i] = size > 1e-3 ? sum * static_cast<float>(1 / size) : cv::Vec3f(0, 0, 0);
    }
    return steps;
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

namespace {

std::vector<DocumentOutline> search(const PictureView& view) {
    std::vector<DocumentOutline> documents;
    const cv::Mat& picture = view.pixels;
    if (picture.type() != CV_8UC3 || picture.cols < 16 || picture.rows < 16) return documents;
    const int width = picture.cols, height = picture.rows;
    // A whole-number step down, so that outlines found there map back onto whole blocks.
    const int step = (std::max(width, height) + kWorkSide - 1) / kWorkSide;
    cv::Mat small;
    if (step > 1) {
        small = sampled(picture, step, view.bottomUp);
    } else if (view.bottomUp) {
        // A frame's rows lie bottom first; the copy searched is upright.
        cv::flip(picture, small, 0);
    } else {
        small = picture;
    }
    cv::Mat lab;
    cv::cvtColor(small, lab, view.bgr ? cv::COLOR_BGR2Lab : cv::COLOR_RGB2Lab);
    const double area = static_cast<double>(small.cols) * small.rows;
    const double minimumArea = area / 100, maximumArea = area * 0.97;
    const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, {5, 5});
    std::vector<Candidate> candidates;

    // Each map below is split into regions or edges, tidied (gaps in edges closed, specks of
    // regions opened away), and the outlines of those are the candidates. The splits are
    // independent of each other: they are shared out among the cores, each with a list of its
    // own (joined in a fixed order, though the order matters not: the outlines are sorted next).
    struct Split {
        std::function<void(cv::Mat& binary)> split;
        cv::MorphTypes tidy;
    };
    std::vector<Split> splits;

    // Outlines from edges of lightness and of colour (a blue band against a brown desk is hardly
    // lighter or darker), at a normal and at a low threshold (pale paper on a pale desk). Canny
    // follows, at each pixel, the channel that changes most there; colour counts double.
    // (The gradients are taken once for both thresholds: what Canny would take itself.)
    cv::Mat blurred, dx, dy;
    cv::GaussianBlur(lab, blurred, {5, 5}, 0);
    cv::Sobel(blurred, dx, CV_16S, 1, 0, 3, 1, 0, cv::BORDER_REPLICATE);
    cv::Sobel(blurred, dy, CV_16S, 0, 1, 3, 1, 0, cv::BORDER_REPLICATE);
    cv::multiply(dx, cv::Scalar(1, 2, 2), dx);
    cv::multiply(dy, cv::Scalar(1, 2, 2), dy);
    for (const auto& [low, high] : {std::pair{30.0, 90.0}, std::pair{10.0, 30.0}}) {
        splits.push_back({[&, low = low, high = high](cv::Mat& edges) {
                              cv::Canny(dx, dy, edges, low, high);
                          },
                          cv::MORPH_CLOSE});
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
    for (int level : {30, 50}) {
        splits.push_back({[&, level](cv::Mat& binary) {
                              cv::threshold(fromDesk, binary, level, 255, cv::THRESH_BINARY);
                          },
                          cv::MORPH_OPEN});
    }
    // How far from grey, on either side of it (a bluish or greenish desk is as far from paper
    // as a yellowish or reddish one).
    cv::Mat chroma, blueYellow;
    cv::absdiff(planes[1], cv::Scalar(128), chroma);
    cv::absdiff(planes[2], cv::Scalar(128), blueYellow);
    chroma += blueYellow;
    cv::Mat paper;
    cv::subtract(planes[0], chroma * 3, paper);
    // How plain each place is: a card or a page is smooth where a printed cloth or a tartan is
    // busy, though both may be of the same colour. The lightness's changes, averaged over about
    // a pattern's repeat and turned round so that plain is bright.
    cv::Mat lightness, busy, plain;
    cv::extractChannel(lab, lightness, 0);
    cv::Laplacian(lightness, busy, CV_16S, 3);
    cv::convertScaleAbs(busy, busy);
    cv::blur(busy, busy, {15, 15});
    cv::bitwise_not(busy, plain);
    for (const cv::Mat* map : {&fromDesk, &paper, &planes[0], &plain}) {
        splits.push_back({[map](cv::Mat& binary) {
                              cv::threshold(*map, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
                          },
                          cv::MORPH_OPEN});
        splits.push_back({[map](cv::Mat& binary) {
                              cv::adaptiveThreshold(*map, binary, 255, cv::ADAPTIVE_THRESH_MEAN_C,
                                                    cv::THRESH_BINARY, (kWorkSide / 4) | 1, -8);
                          },
                          cv::MORPH_OPEN});
    }
    std::vector<std::vector<Candidate>> fromSplit(splits.size());
    parallelFor(cv::Range(0, static_cast<int>(splits.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const Split& split = splits[static_cast<size_t>(i)];
            cv::Mat binary;
            split.split(binary);
            cv::morphologyEx(binary, binary, split.tidy, square);
            addCandidates(binary, minimumArea, maximumArea, fromSplit[static_cast<size_t>(i)]);
        }
    });
    for (const std::vector<Candidate>& found : fromSplit)
        candidates.insert(candidates.end(), found.begin(), found.end());

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
    const auto judge = [&](Candidate& c) {
        c.corners = onEdges(MatPixels{small}, c.corners, 4);
        c.area = quadArea(c.corners);
        c.contrast = boundaryContrast(lab, c.corners);
        c.alignment = alignment(small, c.corners);
    };
    // (Each outline on its own: they are shared out among the cores.)
    parallelFor(cv::Range(0, static_cast<int>(candidates.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            Candidate& c = candidates[static_cast<size_t>(i)];
            c.contrast = boundaryContrast(lab, c.corners);
            // A faint outline along straight edges (a page on a white desk) is put on its edges
            // too: its contrast is judged where it really lies.
            if (c.contrast < kMinimumCardContrast &&
                edgesAlongSides(lab, c.corners) < kFaintestCardEdge)
                continue;
            judge(c);
        }
    });
    // Outlines that follow edges may be part of a card: what they grow into is judged too.
    // (Several maps give nearly the same outline: each is grown once.)
    const size_t found = candidates.size();
    std::vector<std::array<cv::Point2f, 4>> seeds;
    for (size_t i = 0; i < found; ++i) {
        const Candidate seed = candidates[i];
        if (seed.contrast < kMinimumCardContrast || seed.area > area / 2 ||
            (seed.alignment < kMinimumAlignment &&
             edgesAlongSides(lab, seed.corners) < kFaintestCardEdge))
            continue;
        const bool grown = std::any_of(seeds.begin(), seeds.end(), [&](const auto& corners) {
            for (size_t k = 0; k < 4; ++k)
                if (lengthOf(corners[k], seed.corners[k]) > 2) return false;
            return true;
        });
        if (!grown) seeds.push_back(seed.corners);
    }
    // (Each seed on its own, shared out among the cores; what grows from them is kept in the
    // seeds' order.)
    std::vector<std::vector<Candidate>> grownFrom(seeds.size());
    parallelFor(cv::Range(0, static_cast<int>(seeds.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            for (const auto& corners : cardsAround(lab, seeds[static_cast<size_t>(i)], 1)) {
                // Put on the edges, unless that draws a side off its edge (a dark photo along
                // the card's edge on a dark, speckled desk).
                Candidate card;
                card.corners = corners;
                judge(card);
                if (edgesAlongSides(lab, card.corners) < kFaintestCardEdge) {
                    card.corners = corners;
                    card.area = quadArea(corners);
                    card.contrast = boundaryContrast(lab, corners);
                    card.alignment = alignment(small, corners);
                }
                grownFrom[static_cast<size_t>(i)].push_back(card);
            }
        }
    });
    for (const std::vector<Candidate>& grown : grownFrom)
        candidates.insert(candidates.end(), grown.begin(), grown.end());
    // A card counts with less contrast than other documents, and with faint edges when they
    // run straight from corner to corner. Any other document counts with as little contrast as
    // a card when its sides lie on straight edges too (white paper on a white desk).
    const auto standsOut = [&](const Candidate& c) {
        if (!cardShaped(c.corners))
            return c.alignment >= kMinimumAlignment &&
                   (c.contrast >= kMinimumContrast ||
                    (c.contrast >= kMinimumCardContrast &&
                     edgesAlongSides(lab, c.corners) >= kFaintestCardEdge));
        return c.contrast >= kMinimumCardContrast &&
               (c.alignment >= kMinimumAlignment || edgesAlongSides(lab, c.corners) >= kFaintestCardEdge ||
                (c.contrast >= kMinimumContrast && c.alignment >= kMinimumCardAlignment));
    };
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.contrast > b.contrast; });
    std::vector<Candidate> accepted;
    for (const Candidate& c : candidates) {
        if (c.contrast < kMinimumCardContrast) break;
        if (!standsOut(c) || c.area < minimumArea || c.area > maximumArea)
            continue;
        bool seen = false;
        for (Candidate& a : accepted) {
            if (overlap(a, c) <= 0.6) continue;
            seen = true;
            // The same document twice: its outer outline is the document (a card's dark band or
            // a page's printed frame stand out too, inside it). Of two card-shaped outlines not
            // far apart in size, one is the card and the other runs along a line beside it (its
            // shadow, the desk's pattern): the one that follows the edges better, unless it
            // stands out far less (a line of a tartan beside a card that stands out clearly).
            const bool alike = cardShaped(a.corners) && cardShaped(c.corners) && c.area < a.area * 1.5;
            const bool fainter = c.contrast * 4 < a.contrast;
            // Nearly the same outline from two maps: the one that follows the edges clearly
            // better.
            const bool nearlySame = c.area >= a.area / 1.05 && c.area <= a.area * 1.05;
            if ((c.area > a.area * 1.03 && (!alike || (c.alignment > a.alignment && !fainter))) ||
                (nearlySame && c.alignment > a.alignment + 0.15))
                a = c;
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

    // Onto the edges of a copy half as small as the picture (when the search was on one of a
    // quarter or less), then of the picture itself: each time from a few of the coarser copy's
    // pixels away, following each side's change from the document's colour to the desk's.
    const int middleStep = step >= 4 ? step / 2 : 1;
    const SampledPixels middle{picture, middleStep, view.bottomUp};
    const auto between = [](const std::array<cv::Point2f, 4>& q, int from, int to) {
        // A copy's pixel stands for the middle of its block of the picture.
        std::array<cv::Point2f, 4> out;
        for (size_t i = 0; i < 4; ++i) {
            const cv::Point2f inPicture = q[i] * static_cast<float>(from) +
                                          cv::Point2f(0.5f, 0.5f) * static_cast<float>(from - 1);
            out[i] = (inPicture - cv::Point2f(0.5f, 0.5f) * static_cast<float>(to - 1)) *
                     (1.f / static_cast<float>(to));
        }
        return out;
    };
    for (const Candidate& c : outer) {
        const std::array<cv::Vec3f, 4> steps = colourSteps(small, c.corners);
        // A finer fit that takes a side off the edge the search saw (a dark photo along a card's
        // edge on a dark, speckled desk) is not taken.
        const float seen = std::min(kFaintestCardEdge, edgesAlongSides(lab, c.corners));
        const auto keeps = [&](const std::array<cv::Point2f, 4>& q, int at) {
            return edgesAlongSides(lab, between(q, at, step)) >= seen;
        };
        std::array<cv::Point2f, 4> corners = c.corners;
        // Once more on the small copy, reaching further, each side following its colour step:
        // a side the search left a few pixels off its edge at one end (a dark band against a
        // dark, busy desk) is brought onto it. Taken only when its sides lie on edges at least
        // as clearly as before (not onto the speckles of a granite desk).
        const std::array<cv::Point2f, 4> wider = onEdges(MatPixels{small}, corners, 6, &steps);
        if (edgesAlongSides(lab, wider) >= std::max(kFaintestCardEdge, edgesAlongSides(lab, corners)))
            corners = wider;
        int from = step;
        if (middleStep > 1) {
            const std::array<cv::Point2f, 4> fitted =
                onEdges(middle, between(corners, step, middleStep), 4, &steps);
            corners = keeps(fitted, middleStep) ? fitted : between(corners, step, middleStep);
            from = middleStep;
        }
        corners = between(corners, from, 1);
        if (from > 1) {
            const auto reach = static_cast<float>(3 * from);
            std::array<cv::Point2f, 4> fitted = view.bottomUp ? mirrored(corners, height) : corners;
            fitted = onEdges(MatPixels{picture}, fitted, reach, &steps);
            fitted = onEdges(MatPixels{picture}, fitted, reach / 3, &steps);
            if (view.bottomUp) fitted = mirrored(fitted, height);
            if (keeps(fitted, 1)) corners = fitted;
        }
        DocumentOutline document;
        document.corners = corners;
        const auto length = [](cv::Point2f a, cv::Point2f b) { return std::sqrt((a - b).dot(a - b)); };
        const auto& q = document.corners;
        document.size = cv::Size(std::max(1, cvRound((length(q[0], q[1]) + length(q[3], q[2])) / 2)),
                                 std::max(1, cvRound((length(q[0], q[3]) + length(q[1], q[2])) / 2)));
        document.area = quadArea(q);
        documents.push_back(document);
    }
    return documents;
}

}  // namespace

namespace {

std::once_flag preparing;
// Waited for by every search, and when the library is unloaded, so that OpenCV's tables are never
// built by two threads at once and the preparation never outlives the library.
std::shared_future<void> prepared;

}  // namespace

void prepareDocumentSearch() {
    std::call_once(preparing, [] {
        prepared = std::async(std::launch::async, [] {
                       cv::Mat desk(120, 160, CV_8UC3, cv::Scalar(40, 40, 40));
                       cv::rectangle(desk, cv::Rect(30, 20, 100, 70), cv::Scalar(235, 235, 235),
                                     cv::FILLED);
                       const Raster raster = rasterOf(desk);
                       for (const DocumentOutline& document : search(viewOf(raster)))
                           straighten(raster, document);
                   }).share();
    });
}

std::vector<DocumentOutline> findDocuments(const PictureView& view) {
    prepareDocumentSearch();
    prepared.wait();
    return search(view);
}

namespace {

// A document's straightening, in tiles: each by the affine map nearest the outline's perspective
// over it (over a tile the two differ by a small fraction of a pixel, and an affine warp costs
// about half as much). Rows of tiles are bands, the top one first.
class TileWarp {
public:
    static constexpr int kTile = 48;

    // `out` is sized for the document and must stay where it is while tiles are warped.
    // `turnColours`: a B,G,R view gives an R,G,B raster.
    TileWarp(const PictureView& view, const DocumentOutline& document, bool turnColours, Raster& out)
        : view_(view), turnColours_(view.bgr && turnColours) {
        out.width = document.size.width;
        out.height = document.size.height;
        out.channels = 3;
        out.data.resize(out.rowBytes() * static_cast<size_t>(out.height));
        into_ = out.mat();  // written in place: same size and type
        // Out of a frame, the outline is put where it lies in the frame's memory, and only the
        // document's own pixels have their colours turned round.
        DocumentOutline inMemory = document;
        if (view.bottomUp) inMemory.corners = mirrored(document.corners, view.pixels.rows);
        toPicture_ = inMemory.toStraightened().inv();
        across_ = (out.width + kTile - 1) / kTile;
        bands_ = (out.height + kTile - 1) / kTile;
    }

    int bands() const { return bands_; }
    int tiles() const { return across_ * bands_; }

    // `scratch` is reused from tile to tile by one thread.
    void warp(int tile, cv::Mat& scratch) const {
        const int x = (tile % across_) * kTile, y = (tile / across_) * kTile;
        const int w = std::min(kTile, into_.cols - x), h = std::min(kTile, into_.rows - y);
        // The affine map nearest the perspective one at the tile's four corners.
        const cv::Point2d topLeft = source(x, y), topRight = source(x + kTile, y),
                          bottomLeft = source(x, y + kTile), bottomRight = source(x + kTile, y + kTile);
        const cv::Point2d across = (topRight - topLeft + bottomRight - bottomLeft) / (2.0 * kTile);
        const cv::Point2d down = (bottomLeft - topLeft + bottomRight - topRight) / (2.0 * kTile);
        const cv::Point2d origin = (topLeft + topRight + bottomLeft + bottomRight) / 4.0 -
                                   (across + down) * (kTile / 2.0);
        const cv::Matx23d map(across.x, down.x, origin.x, across.y, down.y, origin.y);
        cv::Mat target = into_(cv::Rect(x, y, w, h));
        cv::warpAffine(view_.pixels, turnColours_ ? scratch : target, map, cv::Size(w, h),
                       cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
        if (turnColours_) cv::cvtColor(scratch, target, cv::COLOR_BGR2RGB);
    }

    void warpBand(int band, cv::Mat& scratch) const {
        for (int tile = band * across_; tile < (band + 1) * across_; ++tile) warp(tile, scratch);
    }

private:
    cv::Point2d source(int x, int y) const {
        const cv::Vec3d p = toPicture_ * cv::Vec3d(x, y, 1);
        return cv::Point2d(p[0] / p[2], p[1] / p[2]);
    }

    const PictureView& view_;
    bool turnColours_;
    cv::Mat into_;
    cv::Matx33d toPicture_;
    int across_ = 0, bands_ = 0;
};

}  // namespace

Raster straighten(const PictureView& view, const DocumentOutline& document) {
    Raster out;
    if (view.pixels.type() != CV_8UC3) return out;
    const TileWarp warp(view, document, true, out);
    // The tiles are shared out among the cores.
    parallelFor(cv::Range(0, warp.tiles()), [&](const cv::Range& range) {
        cv::Mat scratch;
        for (int t = range.start; t < range.end; ++t) warp.warp(t, scratch);
    });
    return out;
}

struct StraighteningInBands::Work {
    explicit Work(const PictureView& view) : view(view) {}
    PictureView view;  // its own copy: the warp refers to it
    std::unique_ptr<TileWarp> warp;
    std::atomic<int> nextBand{0};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<bool> bandDone;
    int readyBands = 0;  // the bands done from the top without a gap
    bool failed = false;
};

StraighteningInBands::StraighteningInBands(const PictureView& view, const DocumentOutline& document)
    : work_(std::make_unique<Work>(view)) {
    if (view.pixels.type() != CV_8UC3) {
        work_->failed = true;
        return;
    }
    work_->warp = std::make_unique<TileWarp>(work_->view, document, false, out_);
    work_->bandDone.assign(static_cast<size_t>(work_->warp->bands()), false);
    const int threads = std::clamp(cv::getNumThreads(), 1, work_->warp->bands());
    for (int i = 0; i < threads; ++i) {
        workers_.emplace_back([work = work_.get()] {
            cv::Mat scratch;
            for (int band = work->nextBand++; band < work->warp->bands(); band = work->nextBand++) {
                bool ok = true;
                try {
                    work->warp->warpBand(band, scratch);
                } catch (const std::exception&) {  // out of memory in OpenCV: no picture
                    ok = false;
                }
                const std::lock_guard<std::mutex> hold(work->lock);
                if (!ok) work->failed = true;
                work->bandDone[static_cast<size_t>(band)] = true;
                while (work->readyBands < work->warp->bands() &&
                       work->bandDone[static_cast<size_t>(work->readyBands)])
                    ++work->readyBands;
                work->changed.notify_all();
            }
        });
    }
}

StraighteningInBands::~StraighteningInBands() {
    // Whatever was not waited for is finished (a failed encoding stops reading early).
    for (std::thread& worker : workers_) worker.join();
}

bool StraighteningInBands::waitForRows(int rows) {
    std::unique_lock<std::mutex> hold(work_->lock);
    if (work_->failed) return false;
    const int bands = std::min(work_->warp->bands(), (rows + TileWarp::kTile - 1) / TileWarp::kTile);
    work_->changed.wait(hold, [&] { return work_->failed || work_->readyBands >= bands; });
    return !work_->failed;
}

Raster stackDocuments(std::vector<Raster> documents) {
    if (documents.empty()) return Raster{};
    if (documents.size() == 1) return std::move(documents.front());
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
