// The service's Base64 coder. Encoding then decoding gives the bytes back, the encoded text has
// exactly the promised shape (76 characters and CR LF per line), and decoding any text, with
// any length, counts exactly the bytes it produces.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/base64.h"
#include "fuzz_input.h"

namespace {

using lenvaro::fuzzing::FuzzInput;

[[noreturn]] void fail(const char* what, size_t size) {
    std::fprintf(stderr, "base64 fuzzer: %s (%zu bytes)\n", what, size);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t mode = input.byte();
    switch (mode % 3) {
        case 0: {
            const std::string bytes = input.rest();
            const std::string text = lenvaro::base64Encode(bytes);
            const size_t groups = (bytes.size() + 2) / 3;
            const size_t lineBreaks = bytes.size() / 3 / 19;
            if (text.size() != groups * 4 + lineBreaks * 2) fail("encoded length", bytes.size());
            for (size_t line = 0; line < lineBreaks; ++line) {
                if (text.compare(line * 78 + 76, 2, "\r\n") != 0) fail("line break", bytes.size());
            }
            size_t counted = 0;
            if (lenvaro::base64Decode(text, text.size(), counted) != bytes || counted != bytes.size()) {
                fail("round trip", bytes.size());
            }
            break;
        }
        case 1: {
            const size_t length = input.number<uint16_t>();
            const std::string text = input.rest();
            size_t counted = 7;  // the counter is added to, not set
            const std::string bytes = lenvaro::base64Decode(text, length, counted);
            if (counted != bytes.size() + 7) fail("decoded byte count", text.size());
            if (bytes.size() > (std::min(length, text.size()) + 3) / 4 * 3) {
                fail("more bytes than characters allow", text.size());
            }
            break;
        }
        default: {
            std::string text = input.shortBytes();
            const std::string find = input.shortBytes();
            const std::string replacement = input.shortBytes();
            lenvaro::replaceAll(text, find, replacement);
            break;
        }
    }
    return 0;
}
