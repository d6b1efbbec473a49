// Auto capture's eye: notices when a new page has been put under the camera and has come to
// rest, from the frames alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "pictavo/camera/camera.h"

namespace pictavo {

class PageChangeDetector {
  public:
    using Clock = std::chrono::steady_clock;

    // `settle`: how long the picture must hold still (over two frames at least) before it counts
    // as at rest; time rather than a number of frames, so that a slow frame rate does not make
    // a page wait longer. `sensitive`: a smaller change counts as a new page.
    PageChangeDetector(std::chrono::milliseconds settle, bool sensitive);

    // Feeds one frame taken at `at`; true once per new page, on the frame where it has come to
    // rest. The page under the camera when detection starts is taken as known, not as new.
    bool feed(const Frame& frame, Clock::time_point at);

  private:
    static constexpr int kColumns = 32;
    static constexpr int kRows = 24;
    using Thumbnail = std::vector<uint8_t>;  // kColumns * kRows block brightnesses

    static Thumbnail thumbnail(const Frame& frame);
    // The share of blocks whose brightness differs by more than a small step, 0..1.
    static double changed(const Thumbnail& a, const Thumbnail& b);

    std::chrono::milliseconds settle_;
    double newPageShare_;
    Thumbnail previous_;
    Thumbnail reference_;  // the page at rest last reported (or found at the start)
    int stillFrames_ = 0;
    Clock::time_point stillSince_{};
};

}  // namespace pictavo
