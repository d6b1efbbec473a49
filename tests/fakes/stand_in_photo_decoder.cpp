// Stand-ins for the photo decoder an ID card reader's maker ships, with its one function:
// `int unpack(char* encoded, char* pixels, int key)`, 1 on success, 102 x 126 pixels of B, G, R.
// This one draws a known pattern from what it was given, so a test can tell that the card's
// encoded photo and the key arrived and that the picture stands upright: pixel (x, y), top row
// first, is B = 2x, G = 2y, R = the first encoded byte. A key other than 602 is refused (-1),
// as a decoder refuses a wrong licence. Built with STAND_IN_CRASHES it dies instead.
#include <csignal>
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int unpack(char* encoded, char* pixels, int key) {
#ifdef STAND_IN_CRASHES
    (void)encoded;
    (void)pixels;
    (void)key;
    std::raise(SIGSEGV);
    return 1;
#else
    if (key != 602) return -1;
    auto* out = reinterpret_cast<uint8_t*>(pixels);
    for (int y = 0; y < 126; ++y) {
        for (int x = 0; x < 102; ++x) {
            uint8_t* pixel = out + (y * 102 + x) * 3;
            pixel[0] = static_cast<uint8_t>(2 * x);
            pixel[1] = static_cast<uint8_t>(2 * y);
            pixel[2] = static_cast<uint8_t>(encoded[0]);
        }
    }
    return 1;
#endif
}
