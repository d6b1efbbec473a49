// Face signatures and their similarity.
#include "pictavo/biometrics/face_signature.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace pictavo {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Every picture is first brought to this many pixels a side, whatever its size and shape.
constexpr int kWorkSide = 64;

// How much each part counts, and the agreement of the edge and colour parts that still scores
// nothing (unrelated pictures share some edges and colours by chance).
constexpr double kThumbnailWeight = 0.5, kEdgeWeight = 0.3, kColourWeight = 0.2;
constexpr double kEdgeFloor = 0.5;
constexpr double kColourFloor = 0.3;

// Index of (x, y) in a row-major grid `side` wide.
size_t cellAt(int x, int y, int side) {
    return static_cast<size_t>(y) * static_cast<size_t>(side) + static_cast<size_t>(x);
}

template <size_t N>
void scaleToUnitLength(std::array<float, N>& values) {
    double sumSquares = 0;
    for (float value : values) sumSquares += double{value} * value;
    if (sumSquares <= 0) return;
    const double scale = 1 / std::sqrt(sumSquares);
    for (float& value : values) value = static_cast<float>(value * scale);
}

template <size_t N>
double dot(const std::array<float, N>& a, const std::array<float, N>& b) {
    double sum = 0;
    for (size_t i = 0; i < N; ++i) sum += double{a[i]} * b[i];
    return sum;
}

}  // namespace

FaceSignature faceSignature(const uint8_t* pixels, int width, int height, int components) {
    FaceSignature signature;
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(components);

    // Box averages over the source, grey and colour at once; a source smaller than the work
    // size repeats its pixels.
    std::vector<double> grey(cellAt(0, kWorkSide, kWorkSide));
    const int levels = FaceSignature::kColourLevels;
    double colourTotal = 0;
    for (int ty = 0; ty < kWorkSide; ++ty) {
        const int y0 = static_cast<int>(int64_t{ty} * height / kWorkSide);
        const int y1 = std::max(y0 + 1, static_cast<int>(int64_t{ty + 1} * height / kWorkSide));
        for (int tx = 0; tx < kWorkSide; ++tx) {
            const int x0 = static_cast<int>(int64_t{tx} * width / kWorkSide);
            const int x1 = std::max(x0 + 1, static_cast<int>(int64_t{tx + 1} * width / kWorkSide));
            double r = 0, g = 0, b = 0;
            for (int y = y0; y < y1; ++y) {
                const uint8_t* row = pixels + static_cast<size_t>(y) * rowBytes;
                for (int x = x0; x < x1; ++x) {
                    const uint8_t* p =
                        row + static_cast<size_t>(x) * static_cast<size_t>(components);
                    r += p[0];
                    g += components == 3 ? p[1] : p[0];
                    b += components == 3 ? p[2] : p[0];
                }
            }
            const double count = double(x1 - x0) * (y1 - y0);
            r /= count;
            g /= count;
            b /= count;
            grey[cellAt(tx, ty, kWorkSide)] = 0.299 * r + 0.587 * g + 0.114 * b;
            const auto level = [&](double value) {
                return std::min(levels - 1, static_cast<int>(value * levels / 256));
            };
            signature.colours[cellAt(level(b), level(r) * levels + level(g), levels)] += 1;
            colourTotal += 1;
        }
    }
    for (float& share : signature.colours) share = static_cast<float>(share / colourTotal);

    // The thumbnail: 2 x 2 averages, less their mean.
    const int side = FaceSignature::kThumbnailSide;
    const int step = kWorkSide / side;
    double sum = 0;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            double value = 0;
            for (int dy = 0; dy < step; ++dy) {
                for (int dx = 0; dx < step; ++dx) {
                    value += grey[cellAt(x * step + dx, y * step + dy, kWorkSide)];
                }
            }
            value /= step * step;
            signature.thumbnail[cellAt(x, y, side)] = static_cast<float>(value);
            sum += value;
        }
    }
    const double mean = sum / (side * side);
    signature.meanGrey = static_cast<float>(mean);
    for (float& value : signature.thumbnail) value = static_cast<float>(value - mean);
    scaleToUnitLength(signature.thumbnail);

    // Edge directions, weighted by strength, per cell.
    const int cells = FaceSignature::kCells, directions = FaceSignature::kDirections;
    const int cellSide = kWorkSide / cells;
    for (int y = 1; y + 1 < kWorkSide; ++y) {
        for (int x = 1; x + 1 < kWorkSide; ++x) {
            const double gx = grey[cellAt(x + 1, y, kWorkSide)] - grey[cellAt(x - 1, y, kWorkSide)];
            const double gy = grey[cellAt(x, y + 1, kWorkSide)] - grey[cellAt(x, y - 1, kWorkSide)];
            const double strength = std::hypot(gx, gy);
            if (strength <= 0) continue;
            double angle = std::atan2(gy, gx);
            if (angle < 0) angle += kPi;
            const int direction =
                std::min(directions - 1, static_cast<int>(angle / kPi * directions));
            const int cell = (y / cellSide) * cells + x / cellSide;
            signature.edges[cellAt(direction, cell, directions)] += static_cast<float>(strength);
        }
    }
    scaleToUnitLength(signature.edges);
    return signature;
}

int faceSimilarity(const FaceSignature& a, const FaceSignature& b) {
    // Correlation of the thumbnails; two flat pictures agree as far as their brightness does.
    const bool flatA = dot(a.thumbnail, a.thumbnail) == 0,
               flatB = dot(b.thumbnail, b.thumbnail) == 0;
    double layout = 0;
    if (flatA && flatB) {
        layout = 1 - std::fabs(a.meanGrey - b.meanGrey) / 255;
    } else if (!flatA && !flatB) {
        layout = std::max(0.0, dot(a.thumbnail, b.thumbnail));
    }
    // Pictures without a single edge agree in having none.
    const bool plainA = dot(a.edges, a.edges) == 0, plainB = dot(b.edges, b.edges) == 0;
    const double edgeAgreement =
        plainA || plainB ? (plainA && plainB ? 1.0 : 0.0) : dot(a.edges, b.edges);
    const double edges = std::clamp((edgeAgreement - kEdgeFloor) / (1 - kEdgeFloor), 0.0, 1.0);
    double shared = 0;
    for (size_t i = 0; i < a.colours.size(); ++i) shared += std::min(a.colours[i], b.colours[i]);
    const double colours = std::clamp((shared - kColourFloor) / (1 - kColourFloor), 0.0, 1.0);
    const double score = kThumbnailWeight * layout + kEdgeWeight * edges + kColourWeight * colours;
    return static_cast<int>(std::lround(100 * std::clamp(score, 0.0, 1.0)));
}

}  // namespace pictavo
