// Card record fields: UTF-16LE units to the internal code page.
#include "cards/card_records.h"

#include <algorithm>

#include "files/text_encoding.h"

namespace lenvaro {
namespace {

// The field's UTF-16 units up to its first zero unit or its width, never past `recordSize`.
std::u16string fieldUnits(const uint8_t* record, size_t recordSize, RecordField field) {
    std::u16string units;
    if (record == nullptr || field.byteOffset >= recordSize) return units;
    const size_t end = std::min(recordSize, field.byteOffset + 2 * field.widthUnits);
    // Units are assembled byte by byte: the record is little-endian whatever this machine is,
    // and a field need not be aligned for char16_t.
    for (size_t at = field.byteOffset; at + 2 <= end; at += 2) {
        const char16_t unit = static_cast<char16_t>(record[at] | (record[at + 1] << 8));
        if (unit == 0) break;
        units.push_back(unit);
    }
    return units;
}

std::string internalText(const std::u16string& units) {
    std::string text;
    wideToOem(units.c_str(), text);
    return text;
}

}  // namespace

std::string recordFieldText(const uint8_t* record, size_t recordSize, RecordField field) {
    return internalText(fieldUnits(record, recordSize, field));
}

std::string joinFields(const uint8_t* record, size_t recordSize, const RecordField* fields,
                       size_t count) {
    std::string joined;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) joined += '|';
        // Left out as UTF-16 units, before the conversion: in GBK a character's second byte may
        // be that of "|".
        std::u16string units = fieldUnits(record, recordSize, fields[i]);
        const auto separatorOrControl = [](char16_t unit) {
            return unit == u'|' || unit < 0x20 || unit == 0x7F;
        };
        units.erase(std::remove_if(units.begin(), units.end(), separatorOrControl), units.end());
        joined += internalText(units);
    }
    return joined;
}

}  // namespace lenvaro
