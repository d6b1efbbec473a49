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
// A zero character ends the path, as it ends the text the library reads: the folder commands
// then list and delete in the one folder the library sees, and echo that folder's name (a zero
// inside a reply would cut the message on its way to the page).
inline std::string fittedPath(std::string path) {
    const size_t zero = path.find('\0');
    if (zero != std::string::npos) path.resize(zero);
    if (path.size() >= kPathBufferBytes) path.clear();
    return path;
}

}  // namespace lenvaro
