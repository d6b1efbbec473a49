// Path arguments on their way to the capture library.
#pragma once

#include <cstddef>
#include <string>

namespace lenvaro {

// Paths reach the library through 2048-byte buffers: at most 2047 bytes and the terminator.
inline constexpr size_t kPathBufferBytes = 2048;

// The path as the library may receive it: unchanged when it fits the buffer, else empty (what a
// missing argument gives). A path is never cut to fit, because a cut path can name another,
// existing file or folder, which the deleting commands would then act on.
inline std::string fittedPath(std::string path) {
    if (path.size() >= kPathBufferBytes) path.clear();
    return path;
}

}  // namespace lenvaro
