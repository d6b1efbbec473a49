// One fingerprint feature slot of the command service: 1024 bytes that hold either a feature the
// capture library wrote or the placeholder text that marks the slot empty.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lenvaro {

class FeatureSlot {
public:
    static constexpr size_t kBytes = 1024;
    // Pages and the library never see this text; it only marks a slot that holds no feature.
    static constexpr char kPlaceholder[] = "I am is empty";

    // A slot starts empty, so a comparison before any collection answers "empty" rather than
    // comparing whatever the buffer happened to hold.
    FeatureSlot() { clear(); }

    // The placeholder at the start, zero bytes after it.
    void clear() {
        bytes_.fill(0);
        std::memcpy(bytes_.data(), kPlaceholder, sizeof kPlaceholder);
    }

    // Empty exactly when the content, read as a zero-terminated text, is the placeholder; a
    // feature that merely starts with it is not empty.
    bool empty() const {
        return std::memcmp(bytes_.data(), kPlaceholder, sizeof kPlaceholder) == 0;
    }

    // All zero, ready for the library to write a feature into.
    void zero() { bytes_.fill(0); }

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }

private:
    std::array<uint8_t, kBytes> bytes_;
};

}  // namespace lenvaro
