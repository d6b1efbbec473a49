// Reads a fuzzer's input as a stream of small decisions: bytes, numbers and byte strings. Past
// the end every read gives zero or empty, so any input decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace lenvaro::fuzzing {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }
    size_t remaining() const { return size_ - position_; }

    uint8_t byte() { return empty() ? 0 : data_[position_++]; }

    // One of `count` choices (count > 0).
    size_t pick(size_t count) { return byte() % count; }

    template <class Integer>
    Integer number() {
        Integer value{};
        uint8_t bytes[sizeof(Integer)] = {};
        for (uint8_t& b : bytes) b = byte();
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

    // A length byte, then that many bytes (fewer when the input ends).
    std::string shortBytes() { return bytes(byte()); }

    std::string bytes(size_t count) {
        if (count > remaining()) count = remaining();
        std::string text(reinterpret_cast<const char*>(data_ + position_), count);
        position_ += count;
        return text;
    }

    // Everything not read yet.
    std::string rest() { return bytes(remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

}  // namespace lenvaro::fuzzing
