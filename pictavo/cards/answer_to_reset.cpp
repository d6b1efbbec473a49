// Reading an answer to reset (ISO/IEC 7816-3).
#include "pictavo/cards/answer_to_reset.h"

namespace pictavo {

std::optional<Bytes> historicalBytes(const Bytes& atr) {
    if (atr.size() < 2) return std::nullopt;
    const size_t historical = atr[1] & 0x0F;
    // Each indicator byte (T0, then every TDi) says which of TAi, TBi, TCi, TDi follow.
    uint8_t indicator = atr[1];
    size_t at = 2;
    while (true) {
        for (uint8_t bit : {0x10, 0x20, 0x40}) {
            if (indicator & bit) ++at;
        }
        if ((indicator & 0x80) == 0) break;
        if (at >= atr.size()) return std::nullopt;
        indicator = atr[at++];
    }
    if (atr.size() < at + historical) return std::nullopt;
    return Bytes(atr.begin() + static_cast<ptrdiff_t>(at),
                 atr.begin() + static_cast<ptrdiff_t>(at + historical));
}

bool isContactlessAtr(const Bytes& atr) {
    return atr.size() >= 5 && atr[0] == 0x3B && (atr[1] & 0xF0) == 0x80 && atr[2] == 0x80 &&
           atr[3] == 0x01;
}

std::string hexText(const Bytes& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace pictavo
