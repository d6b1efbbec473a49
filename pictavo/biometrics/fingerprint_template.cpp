// Raw scans, features and their comparison for the simulated fingerprint sensor.
#include "pictavo/biometrics/fingerprint_template.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr double kPi = 3.14159265358979323846;

constexpr uint8_t kRawMagic[4] = {'P', 'V', 'R', 'S'};
constexpr size_t kRawHeaderBytes = 8;

// Feature layout: magic, version, grid, median ridge spacing (1/16 pixel), usable block count,
// then two bytes per block, row by row: the ridge orientation (0: nothing to read there;
// 1 + degrees otherwise), and the ridge wave across the block centre: its phase in sixteenths
// of a turn (high four bits) and its spacing in 16 steps from kMinSpacing (low four bits).
constexpr uint8_t kFeatureMagic[4] = {'P', 'V', 'F', 'T'};
constexpr uint8_t kFeatureVersion = 1;
constexpr int kBlock = 16;
constexpr int kColumns = kFingerprintScanWidth / kBlock;  // 16
constexpr int kRows = kFingerprintScanHeight / kBlock;    // 22
constexpr int kBlocks = kColumns * kRows;
constexpr size_t kBlocksAt = 16;
static_assert(kBlocksAt + 2 * static_cast<size_t>(kBlocks) == kFeatureUsedBytes, "feature layout");

// Blocks a scan must show for a feature: a quarter of the grid.
constexpr int kMinUsableBlocks = kBlocks / 4;
// A block is read when its grey values vary like ridges do and agree on one direction.
constexpr double kMinBlockVariance = 600;
constexpr double kMinCoherence = 0.3;
// Ridge spacings looked for, in pixels (about 0.3 to 0.7 mm at 500 dpi).
constexpr double kMinSpacing = 5.5, kMaxSpacing = 14, kSpacingStep = 0.25;
// The ridge profile of a block: half-pixel bins reaching 1.5 blocks each side of its centre,
// more than the corners of its window (two blocks a side) lie away.
constexpr double kBinWidth = 0.5;
constexpr int kProfileBins = 2 * (kBlock * 3 / 2) * 2;
// Stored in 16 steps.
constexpr double kSpacingCodeStep = (kMaxSpacing - kMinSpacing) / 15;
// Two touches of one finger lie at most this many pixels apart.
constexpr int kMaxShift = 10;
// Blocks whose orientations differ by more than this are not compared for phase.
constexpr double kMaxPhaseAngle = 25 * kPi / 180;
// Phase agreement (mean cosine of the phase differences) that scores 0, and full marks.
constexpr double kPhaseFloor = 0.4;
constexpr double kPhaseFull = 0.9;

void put16(uint8_t* at, unsigned value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
unsigned get16(const uint8_t* at) { return at[0] | (unsigned{at[1]} << 8); }

struct BlockReading {
    bool usable = false;
    double angle = 0;    // ridge direction, radians in [0, pi)
    double spacing = 0;  // ridge to ridge, pixels
    double phase = 0;    // of the ridges across the block centre, radians
};

// Orientation from the grey-value gradients, then the spacing and phase of the ridge wave
// across them: the spacing whose wave matches the block best, and where that wave stands.
BlockReading readBlock(const GreyImage& scan, int column, int row) {
    double sum = 0, sumSquares = 0;
    double gxx = 0, gyy = 0, gxy = 0;
    const int x0 = column * kBlock, y0 = row * kBlock;
    for (int y = y0; y < y0 + kBlock; ++y) {
        for (int x = x0; x < x0 + kBlock; ++x) {
            const double value = scan.at(x, y);
            sum += value;
            sumSquares += value * value;
            if (x == 0 || y == 0 || x + 1 >= scan.width || y + 1 >= scan.height) continue;
            const double gx = static_cast<double>(scan.at(x + 1, y)) - scan.at(x - 1, y);
            const double gy = static_cast<double>(scan.at(x, y + 1)) - scan.at(x, y - 1);
            gxx += gx * gx;
            gyy += gy * gy;
            gxy += gx * gy;
        }
    }
    const double count = kBlock * kBlock;
    const double mean = sum / count;
    const double variance = sumSquares / count - mean * mean;
    const double energy = gxx + gyy;
    BlockReading reading;
    if (variance < kMinBlockVariance || energy <= 0) return reading;
    if (std::hypot(gxx - gyy, 2 * gxy) / energy < kMinCoherence) return reading;
    // The gradient runs across the ridges; the ridges run at right angles to it.
    double angle = 0.5 * std::atan2(2 * gxy, gxx - gyy) + kPi / 2;
    if (angle >= kPi) angle -= kPi;
    if (angle < 0) angle += kPi;

    const double nx = -std::sin(angle), ny = std::cos(angle);  // across the ridges
    const double cx = x0 + (kBlock - 1) / 2.0, cy = y0 + (kBlock - 1) / 2.0;
    // The wave is fitted over the block and half a block around it: two ridges are too few to
    // tell their spacing well.
    const int left = std::max(0, x0 - kBlock / 2),
              right = std::min(scan.width, x0 + kBlock * 3 / 2);
    const int top = std::max(0, y0 - kBlock / 2),
              bottom = std::min(scan.height, y0 + kBlock * 3 / 2);
    // The window folded onto the line across the ridges, in half-pixel steps: the wave is
    // then fitted to this profile rather than to every pixel again for every spacing tried.
    double profile[kProfileBins] = {};
    int binCount[kProfileBins] = {};
    double windowSum = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            const double across = (x - cx) * nx + (y - cy) * ny;
            const int bin = static_cast<int>(std::floor(across / kBinWidth)) + kProfileBins / 2;
            if (bin < 0 || bin >= kProfileBins) continue;
            profile[bin] += scan.at(x, y);
            binCount[bin] += 1;
            windowSum += scan.at(x, y);
        }
    }
    int windowCount = 0;
    for (int count : binCount) windowCount += count;
    const double windowMean = windowSum / std::max(1, windowCount);
    for (int bin = 0; bin < kProfileBins; ++bin) profile[bin] -= binCount[bin] * windowMean;
    double bestStrength = -1;
    for (int step = 0; kMinSpacing + step * kSpacingStep <= kMaxSpacing; ++step) {
        const double spacing = kMinSpacing + step * kSpacingStep;
        double re = 0, im = 0;
        for (int bin = 0; bin < kProfileBins; ++bin) {
            if (binCount[bin] == 0) continue;
            const double across = (bin - kProfileBins / 2.0 + 0.5) * kBinWidth;
            const double wave = 2 * kPi * across / spacing;
            re += profile[bin] * std::cos(wave);
            im += profile[bin] * std::sin(wave);
        }
        const double strength = std::hypot(re, im);
        if (strength > bestStrength) {
            bestStrength = strength;
            reading.spacing = spacing;
            reading.phase = std::atan2(im, re);
        }
    }
    reading.usable = true;
    reading.angle = angle;
    return reading;
}

bool isFeature(const uint8_t* feature) {
    return std::memcmp(feature, kFeatureMagic, sizeof kFeatureMagic) == 0 &&
           feature[4] == kFeatureVersion && feature[5] == kColumns && feature[6] == kRows &&
           feature[7] == kBlock && get16(feature + 8) > 0;
}

struct Block {
    double angle;    // radians
    double phase;    // radians
    double spacing;  // pixels
};

// The usable blocks of a feature, by grid position; angle < 0 marks the others.
std::vector<Block> blocksOf(const uint8_t* feature) {
    std::vector<Block> blocks(kBlocks, Block{-1, 0, 0});
    for (int i = 0; i < kBlocks; ++i) {
        const uint8_t code = feature[kBlocksAt + 2 * static_cast<size_t>(i)];
        if (code == 0 || code > 180) continue;
        blocks[static_cast<size_t>(i)].angle = (code - 1) * kPi / 180;
        const uint8_t wave = feature[kBlocksAt + 2 * static_cast<size_t>(i) + 1];
        blocks[static_cast<size_t>(i)].phase = (wave >> 4) * 2 * kPi / 16;
        blocks[static_cast<size_t>(i)].spacing = kMinSpacing + (wave & 15) * kSpacingCodeStep;
    }
    return blocks;
}

// Mean cosine of twice the orientation differences where both prints show ridges (1: the same
// flow everywhere, 0: unrelated); -1 when they share too few blocks.
double orientationAgreement(const std::vector<Block>& blocks1, const std::vector<Block>& blocks2,
                            int minimumOverlap) {
    double sum = 0;
    int overlap = 0;
    for (size_t i = 0; i < blocks1.size(); ++i) {
        if (blocks1[i].angle < 0 || blocks2[i].angle < 0) continue;
        sum += std::cos(2 * (blocks1[i].angle - blocks2[i].angle));
        ++overlap;
    }
    return overlap < minimumOverlap ? -1 : sum / overlap;
}

// One block seen in both prints, ready for trying shifts: the phase difference and the ridge
// wave's frequency (cycles per pixel) halfway between the two prints.
struct PhasePair {
    double difference;
    double fx, fy;
};

std::vector<PhasePair> phasePairs(const std::vector<Block>& blocks1,
                                  const std::vector<Block>& blocks2) {
    std::vector<PhasePair> pairs;
    for (size_t i = 0; i < blocks1.size(); ++i) {
        const Block& a = blocks1[i];
        const Block& b = blocks2[i];
        if (a.angle < 0 || b.angle < 0) continue;
        double turn = b.angle - a.angle;
        double phase2 = b.phase;
        // Orientations wrap at 180 degrees, and the direction across the ridges with them.
        if (turn > kPi / 2) {
            turn -= kPi;
            phase2 = -phase2;
        } else if (turn < -kPi / 2) {
            turn += kPi;
            phase2 = -phase2;
        }
        if (std::fabs(turn) > kMaxPhaseAngle) continue;
        const double angle2 = a.angle + turn;
        pairs.push_back({phase2 - a.phase,
                         (-std::sin(a.angle) / a.spacing - std::sin(angle2) / b.spacing) / 2,
                         (std::cos(a.angle) / a.spacing + std::cos(angle2) / b.spacing) / 2});
    }
    return pairs;
}

// How well the ridges themselves line up when the second print lies (dx, dy) pixels from the
// first: moving a ridge wave by d across the ridges moves its phase by 2 pi d / spacing. Only
// the ridge positions of one finger agree like this; another finger's ridges, even when they
// flow the same way, lie anywhere.
double phaseAgreement(const std::vector<PhasePair>& pairs, int dx, int dy) {
    double sum = 0;
    for (const PhasePair& pair : pairs) {
        sum += std::cos(pair.difference - 2 * kPi * (dx * pair.fx + dy * pair.fy));
    }
    return sum / static_cast<double>(pairs.size());
}

}  // namespace

int writeRawScan(const GreyImage& scan, uint8_t* raw, size_t capacity) {
    const size_t pixels = scan.pixels.size();
    if (scan.width <= 0 || scan.height <= 0 || scan.width > 0xFFFF || scan.height > 0xFFFF ||
        pixels != static_cast<size_t>(scan.width) * static_cast<size_t>(scan.height) ||
        kRawHeaderBytes + pixels > capacity) {
        return kInvalidArgument;
    }
    std::memcpy(raw, kRawMagic, sizeof kRawMagic);
    put16(raw + 4, static_cast<unsigned>(scan.width));
    put16(raw + 6, static_cast<unsigned>(scan.height));
    std::memcpy(raw + kRawHeaderBytes, scan.pixels.data(), pixels);
    return kOk;
}

int readRawScan(const uint8_t* raw, size_t capacity, GreyImage& scan) {
    if (capacity < kRawHeaderBytes || std::memcmp(raw, kRawMagic, sizeof kRawMagic) != 0)
        return kInvalidArgument;
    const int width = static_cast<int>(get16(raw + 4));
    const int height = static_cast<int>(get16(raw + 6));
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    // This sensor's scans only: the feature grid is made for their size.
    if (width != kFingerprintScanWidth || height != kFingerprintScanHeight ||
        kRawHeaderBytes + pixels > capacity) {
        return kInvalidArgument;
    }
    scan.width = width;
    scan.height = height;
    scan.pixels.assign(raw + kRawHeaderBytes, raw + kRawHeaderBytes + pixels);
    return kOk;
}

int extractFingerprintFeature(const GreyImage& scan, uint8_t* feature) {
    if (scan.width != kFingerprintScanWidth || scan.height != kFingerprintScanHeight ||
        scan.pixels.size() != static_cast<size_t>(scan.width) * static_cast<size_t>(scan.height))
        return kInvalidArgument;
    uint8_t out[kFeatureUsedBytes] = {};
    std::vector<double> spacings;
    int usable = 0;
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            const BlockReading reading = readBlock(scan, column, row);
            if (!reading.usable) continue;
            const int degrees = static_cast<int>(std::lround(reading.angle * 180 / kPi)) % 180;
            const double turns = reading.phase / (2 * kPi);
            const long phaseCode = std::lround((turns - std::floor(turns)) * 16) % 16;
            const long spacingCode = std::clamp(
                std::lround((reading.spacing - kMinSpacing) / kSpacingCodeStep), 0L, 15L);
            uint8_t* at = out + kBlocksAt + 2 * static_cast<size_t>(row * kColumns + column);
            at[0] = static_cast<uint8_t>(1 + degrees);
            at[1] = static_cast<uint8_t>(phaseCode << 4 | spacingCode);
            spacings.push_back(reading.spacing);
            ++usable;
        }
    }
    if (usable < kMinUsableBlocks) return kFailed;
    const auto middle = spacings.begin() + static_cast<std::ptrdiff_t>(spacings.size() / 2);
    std::nth_element(spacings.begin(), middle, spacings.end());
    const double spacing = *middle;

    std::memcpy(out, kFeatureMagic, sizeof kFeatureMagic);
    out[4] = kFeatureVersion;
    out[5] = kColumns;
    out[6] = kRows;
    out[7] = kBlock;
    put16(out + 8, static_cast<unsigned>(std::lround(spacing * 16)));
    put16(out + 10, static_cast<unsigned>(usable));
    std::memcpy(feature, out, sizeof out);
    return kOk;
}

int compareFingerprintFeatures(const uint8_t* feature1, const uint8_t* feature2) {
    if (!isFeature(feature1) || !isFeature(feature2)) return kInvalidArgument;
    const std::vector<Block> blocks1 = blocksOf(feature1);
    const std::vector<Block> blocks2 = blocksOf(feature2);
    const int usable1 = static_cast<int>(get16(feature1 + 10));
    const int usable2 = static_cast<int>(get16(feature2 + 10));
    const int minimumOverlap = std::max(kMinUsableBlocks / 2, std::min(usable1, usable2) / 2);
    if (orientationAgreement(blocks1, blocks2, minimumOverlap) <= 0) return 0;

    const std::vector<PhasePair> pairs = phasePairs(blocks1, blocks2);
    if (static_cast<int>(pairs.size()) < minimumOverlap / 2) return 0;
    double best = -1;
    for (int dy = -kMaxShift; dy <= kMaxShift; ++dy) {
        for (int dx = -kMaxShift; dx <= kMaxShift; ++dx) {
            best = std::max(best, phaseAgreement(pairs, dx, dy));
        }
    }
    const double score = (best - kPhaseFloor) / (kPhaseFull - kPhaseFloor);
    return static_cast<int>(std::lround(100 * std::clamp(score, 0.0, 1.0)));
}

}  // namespace pictavo
