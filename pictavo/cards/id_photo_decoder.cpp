// The maker's photo decoder, in a child process.
#include "pictavo/cards/id_photo_decoder.h"

#include <dlfcn.h>

#include <algorithm>
#include <vector>

#include "pictavo/recognition/isolated_call.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

using Unpack = int (*)(char* encoded, char* pixels, int key);

constexpr size_t kPixelBytes = static_cast<size_t>(kIdPhotoWidth) * kIdPhotoHeight * 3;

// What the child hands back: 'P' and the pixels, or 'E' and what went wrong.
std::string decodeInChild(const PhotoDecoderSettings& decoder, const Bytes& encoded) {
    // Loading reads the decoder's file and takes the loader's lock; should another thread of
    // the parent have held that lock at the fork, the child waits until its time-out.
    void* library = ::dlopen(decoder.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        return std::string("Ecannot be loaded: ") + (why != nullptr ? why : "unknown error");
    }
    const auto unpack = reinterpret_cast<Unpack>(::dlsym(library, "unpack"));
    if (unpack == nullptr) return "Ehas no function unpack";
    // Room to spare on both sides: a decoder may read or write past what it needs (some write
    // a whole bitmap file); that stays inside the child's buffers.
    std::vector<char> input(std::max<size_t>(encoded.size(), 1024) + 4096, 0);
    std::copy(encoded.begin(), encoded.end(), input.begin());
    std::vector<char> pixels(kPixelBytes + 65536, 0);
    const int result = unpack(input.data(), pixels.data(), decoder.key);
    if (result != 1) return "Eanswered " + std::to_string(result);
    return "P" + std::string(pixels.data(), kPixelBytes);
}

}  // namespace

std::optional<CardImage> decodeIdPhoto(const PhotoDecoderSettings& decoder, const Bytes& encoded,
                                       std::chrono::milliseconds timeout, std::string& problem) {
    const std::string name = "the ID card photo decoder " + decoder.library;
    std::string output;
    if (runIsolated([&] { return decodeInChild(decoder, encoded); }, timeout, output) != kOk) {
        problem = name + " crashed or did not finish within " + std::to_string(timeout.count()) +
                  " ms";
        return std::nullopt;
    }
    if (output.empty() || output[0] != 'P' || output.size() != 1 + kPixelBytes) {
        problem = name + (output.size() > 1 && output[0] == 'E' ? " " + output.substr(1)
                                                                 : " gave no picture");
        return std::nullopt;
    }
    CardImage decoded(kIdPhotoWidth, kIdPhotoHeight, kIdPhotoPixelsPerMetre);
    const auto* bgr = reinterpret_cast<const uint8_t*>(output.data() + 1);
    const size_t row = static_cast<size_t>(kIdPhotoWidth) * 3;
    for (int y = 0; y < kIdPhotoHeight; ++y) {
        const int from = decoder.bottomUp ? kIdPhotoHeight - 1 - y : y;
        const uint8_t* source = bgr + static_cast<size_t>(from) * row;
        uint8_t* target = decoded.rgb.data() + static_cast<size_t>(y) * row;
        for (size_t x = 0; x < row; x += 3) {
            target[x] = source[x + 2];
            target[x + 1] = source[x + 1];
            target[x + 2] = source[x];
        }
    }
    return decoded;
}

}  // namespace pictavo
