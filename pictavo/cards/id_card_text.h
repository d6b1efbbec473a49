// The 256 bytes of text a second-generation ID card holds, as the reader's security module hands
// them out: UCS-2 little endian, space padded, at fixed offsets that depend on the kind of card
// (the marker at bytes 248-249). Decoded into the nine fields of the ID card record. The bytes
// come from a device: every field is cut to its width and cleaned of separators and control
// characters, whatever the card holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "pictavo/cards/card_reader.h"

namespace pictavo {

inline constexpr size_t kIdCardTextBytes = 256;

enum class IdCardKind {
    kResident,             // the resident identity card (no marker)
    kHongKongMacauTaiwan,  // residence permit for Hong Kong, Macau and Taiwan residents ('J')
    kForeign2017,          // foreign permanent resident ID card of 2017 ('I')
    kForeign2023,          // foreign permanent resident ID card of 2023 ('Y')
};

IdCardKind idCardKindOf(const uint8_t* text);

// The nine fields in record order: name | sex | ethnicity | birth date | address | number |
// issuing authority | valid from | valid until. Trailing spaces removed; sex and ethnicity
// codes as the card prints them (男, 女, 未知, 未说明; 汉, 蒙古, ..., 其他). A 'J' card has no
// ethnicity. The foreign cards: the Chinese name (the English one when there is none), sex,
// the nationality code (ISO 3166 alpha-3) in the ethnicity field, birth date, the whole English
// name in the address field, the permit number, the accepting office's code (2017 cards; 2023
// cards carry none), and the validity.
std::array<std::u16string, 9> idCardFields(const uint8_t* text);

// `text` cleaned for a "|"-joined reply: "|", control characters and lone surrogate halves
// removed, trailing spaces too.
std::u16string cleanCardText(const std::u16string& text);

// The fields written into a cleared record, each cut to leave room for its zero unit.
void putIdCardFields(IdCardRecord& record, const std::array<std::u16string, 9>& fields);

}  // namespace pictavo
