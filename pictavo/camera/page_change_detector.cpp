// Page change detection on thumbnails of the frames.
#include "pictavo/camera/page_change_detector.h"

#include <algorithm>
#include <cstdlib>

namespace pictavo {
namespace {

// Brightness steps (of 255) below which a block counts as unchanged: sensor noise, a clock
// ticking, a moving shadow are smaller than this over a whole block.
constexpr int kBlockStep = 24;
// Share of blocks that may change between two frames of a picture at rest (a hand, a clock).
constexpr double kStillShare = 0.02;

}  // namespace

PageChangeDetector::PageChangeDetector(std::chrono::milliseconds settle, bool sensitive)
    : settle_(settle), newPageShare_(sensitive ? 0.03 : 0.08) {}

PageChangeDetector::Thumbnail PageChangeDetector::thumbnail(const Frame& frame) {
    Thumbnail blocks(static_cast<size_t>(kColumns * kRows), 0);
    if (frame.width <= 0 || frame.height <= 0) return blocks;
    // Four by four samples per block: enough to see a page, cheap enough for every frame.
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            int sum = 0;
            for (int sy = 0; sy < 4; ++sy) {
                const int y = ((row * 4 + sy) * 2 + 1) * frame.height / (kRows * 8);
                const uint8_t* line = frame.row(std::min(y, frame.height - 1));
                for (int sx = 0; sx < 4; ++sx) {
                    const int x = ((column * 4 + sx) * 2 + 1) * frame.width / (kColumns * 8);
                    const uint8_t* p = line + static_cast<size_t>(std::min(x, frame.width - 1)) * 3;
                    sum += (114 * p[0] + 587 * p[1] + 299 * p[2]) / 1000;
                }
            }
            blocks[static_cast<size_t>(row * kColumns + column)] = static_cast<uint8_t>(sum / 16);
        }
    }
    return blocks;
}

double PageChangeDetector::changed(const Thumbnail& a, const Thumbnail& b) {
    if (a.size() != b.size() || a.empty()) return 1.0;
    size_t count = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::abs(a[i] - b[i]) > kBlockStep) ++count;
    }
    return static_cast<double>(count) / static_cast<double>(a.size());
}

bool PageChangeDetector::feed(const Frame& frame, Clock::time_point at) {
    Thumbnail current = thumbnail(frame);
    const bool still = !previous_.empty() && changed(current, previous_) <= kStillShare;
    if (!still) stillSince_ = at;
    stillFrames_ = still ? stillFrames_ + 1 : 0;
    previous_ = current;
    if (stillFrames_ < 2 || at - stillSince_ < settle_) return false;

    if (reference_.empty()) {
        reference_ = std::move(current);
        return false;
    }
    if (changed(current, reference_) < newPageShare_) return false;
    reference_ = std::move(current);
    return true;
}

}  // namespace pictavo
