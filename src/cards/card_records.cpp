// Card record fields: UTF-16LE units to the internal code page.
#include "cards/card_records.h"

#include <algorithm>

#include "files/text_encoding.h"

namespace lenvaro {

std::string recordFieldText(const uint8_t* record, size_t recordSize, RecordField field) {
    if (record == nullptr || field.byteOffset >= recordSize) return "";
    const size_t end = std::min(recordSize, field.byteOffset + 2 * field.widthUnits);
    std::u16string units;
    // Units are assembled byte by byte: the record is little-endian whatever this machine is,
    // and a field need not be aligned for char16_t.
    for (size_t at = field.byteOffset; at + 2 <= end; at += 2) {
        const char16_t unit = static_cast<char16_t>(record[at] | (record[at + 1] << 8));
        if (unit == 0) break;
        units.push_back(unit);
    }
    std::string text;
    wideToOem(units.c_str(), text);
    return text;
}

std::string joinFields(const uint8_t* record, size_t recordSize,
                       std::initializer_list<RecordField> fields) {
    std::string joined;
    bool first = true;
    for (const RecordField& field : fields) {
        if (!first) joined += '|';
        first = false;
        joined += recordFieldText(record, recordSize, field);
    }
    return joined;
}

}  // namespace lenvaro
