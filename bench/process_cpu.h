// CPU time the whole process has used (every thread, user and system), for the benchmarks that
// report a share of one core.
#pragma once

#include <sys/resource.h>

#include <cstdint>

inline double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A preview callback that does nothing: what is measured is the library's own work.
inline bool ignoreFrame(uint8_t*, int, int, int) { return true; }
