// Zero-filled output buffers handed to the capture library, and reading texts back out of them
// without trusting the library to have terminated them.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace lenvaro {

// The zero-terminated text at `text`, never read past `capacity` bytes.
inline std::string boundedText(const char* text, size_t capacity) {
    return std::string(text, strnlen(text, capacity));
}

// A heap buffer of `size` zero bytes (large buffers would strain the service thread's stack).
class TextBuffer {
  public:
    explicit TextBuffer(size_t size) : bytes_(size, '\0') {}
    char* data() { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    void clear() { std::fill(bytes_.begin(), bytes_.end(), '\0'); }
    std::string text() const { return boundedText(bytes_.data(), bytes_.size()); }

  private:
    std::vector<char> bytes_;
};

}  // namespace lenvaro
