// BER-TLV, the way EMV cards (and many others) lay out what they answer: a tag, a length and a
// value, values of constructed tags holding further TLV objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "pictavo/cards/apdu_session.h"

namespace pictavo {

struct TlvObject {
    uint32_t tag = 0;  // the tag's bytes, big-endian ("9F38" is 0x9F38)
    bool constructed = false;
    Bytes value;
};

// The TLV objects laid one after another in `data`, skipping the 00 and FF bytes cards put
// between them. Nullopt when an object runs past the end or its tag or length is malformed.
std::optional<std::vector<TlvObject>> parseTlvList(const Bytes& data);

// The value of every object with `tag`, at any depth, in the order they stand. Data that does
// not parse gives whatever came before the fault.
std::vector<Bytes> findAllTlv(const Bytes& data, uint32_t tag);

// The value of the first object with `tag`, at any depth.
std::optional<Bytes> findTlv(const Bytes& data, uint32_t tag);

// One entry of a data object list (a PDOL, say): which tag, and how many bytes of it.
struct DolEntry {
    uint32_t tag = 0;
    size_t length = 0;
};

// Nullopt when the list is malformed.
std::optional<std::vector<DolEntry>> parseDol(const Bytes& dol);

}  // namespace pictavo
