#pragma once

#include <utility>

#include <opencv2/core/utility.hpp>

#if defined(__SANITIZE_THREAD__)
#define PICTAVO_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PICTAVO_THREAD_SANITIZER 1
#endif
#endif

#ifdef PICTAVO_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace pictavo {

// cv::parallel_for_ for our own loop bodies. OpenCV hands the stripes to TBB's workers, and TBB
// is not built with the thread sanitizer, so the hand-over to a worker and the wait for it are
// invisible to it: a stripe reading the caller's stack, and the caller later writing the same
// stack for something else, look like a race. Under the sanitizer the loop's start and end are
// announced to it, on two separate objects so that the stripes stay unordered among themselves
// and a race between two of them is still reported.
template <typename Body>
void parallelFor(const cv::Range& range, Body&& body, double stripes = -1.) {
#ifdef PICTAVO_THREAD_SANITIZER
    char started = 0, finished = 0;
    __tsan_release(&started);
    cv::parallel_for_(range, [&](const cv::Range& part) {
        __tsan_acquire(&started);
        body(part);
        __tsan_release(&finished);
    }, stripes);
    __tsan_acquire(&finished);
#else
    cv::parallel_for_(range, std::forward<Body>(body), stripes);
#endif
}

}  // namespace pictavo
