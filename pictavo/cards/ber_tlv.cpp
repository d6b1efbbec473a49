// Reading BER-TLV.
#include "pictavo/cards/ber_tlv.h"

namespace pictavo {
namespace {

// Tags of more than three bytes and lengths of more than three bytes do not occur on the cards
// read here; treating them as malformed keeps every size small.
constexpr size_t kMaxTagBytes = 3;
constexpr size_t kMaxLengthBytes = 3;
// Nesting deeper than this is no card's answer; the limit keeps the recursion bounded.
constexpr int kMaxDepth = 16;

bool readTag(const Bytes& data, size_t& at, uint32_t& tag, bool& constructed) {
    if (at >= data.size()) return false;
    const uint8_t first = data[at++];
    tag = first;
    constructed = (first & 0x20) != 0;
    if ((first & 0x1F) != 0x1F) return true;
    for (size_t count = 1;; ++count) {
        if (at >= data.size() || count == kMaxTagBytes) return false;
        const uint8_t next = data[at++];
        tag = (tag << 8) | next;
        if ((next & 0x80) == 0) return true;
    }
}

bool readLength(const Bytes& data, size_t& at, size_t& length) {
    if (at >= data.size()) return false;
    const uint8_t first = data[at++];
    if (first < 0x80) {
        length = first;
        return true;
    }
    const size_t count = first & 0x7F;
    if (count == 0 || count > kMaxLengthBytes || data.size() - at < count) return false;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | data[at++];
    return true;
}

void collect(const Bytes& data, uint32_t tag, int depth, std::vector<Bytes>& found) {
    size_t at = 0;
    while (at < data.size()) {
        if (data[at] == 0x00 || data[at] == 0xFF) {
            ++at;
            continue;
        }
        uint32_t itemTag = 0;
        bool constructed = false;
        size_t length = 0;
        if (!readTag(data, at, itemTag, constructed) || !readLength(data, at, length) ||
            data.size() - at < length) {
            return;
        }
        Bytes value(data.begin() + static_cast<ptrdiff_t>(at),
                    data.begin() + static_cast<ptrdiff_t>(at + length));
        at += length;
        if (itemTag == tag) found.push_back(value);
        if (constructed && depth < kMaxDepth) collect(value, tag, depth + 1, found);
    }
}

}  // namespace

std::optional<std::vector<TlvObject>> parseTlvList(const Bytes& data) {
    std::vector<TlvObject> objects;
    size_t at = 0;
    while (at < data.size()) {
        if (data[at] == 0x00 || data[at] == 0xFF) {
            ++at;
            continue;
        }
        TlvObject object;
        size_t length = 0;
        if (!readTag(data, at, object.tag, object.constructed) || !readLength(data, at, length) ||
            data.size() - at < length) {
            return std::nullopt;
        }
        object.value.assign(data.begin() + static_cast<ptrdiff_t>(at),
                            data.begin() + static_cast<ptrdiff_t>(at + length));
        at += length;
        objects.push_back(std::move(object));
    }
    return objects;
}

std::vector<Bytes> findAllTlv(const Bytes& data, uint32_t tag) {
    std::vector<Bytes> found;
    collect(data, tag, 0, found);
    return found;
}

std::optional<Bytes> findTlv(const Bytes& data, uint32_t tag) {
    std::vector<Bytes> found = findAllTlv(data, tag);
    if (found.empty()) return std::nullopt;
    return std::move(found.front());
}

std::optional<std::vector<DolEntry>> parseDol(const Bytes& dol) {
    std::vector<DolEntry> entries;
    size_t at = 0;
    while (at < dol.size()) {
        DolEntry entry;
        bool constructed = false;
        if (!readTag(dol, at, entry.tag, constructed) || !readLength(dol, at, entry.length)) {
            return std::nullopt;
        }
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace pictavo
