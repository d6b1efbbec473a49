// Reading the UTF-16 text fields of the card records the library fills, and joining them into
// the "|"-separated replies the page splits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace lenvaro {

// One text field of a record: where it starts (bytes) and how many UTF-16 units it may hold.
struct RecordField {
    size_t byteOffset;
    size_t widthUnits;
};

// The ID card record's nine fields, in record order, which is also the order of the reply.
inline constexpr RecordField kIdCardFields[] = {
    {0, 30}, {60, 4}, {68, 20}, {108, 16}, {140, 70}, {280, 36}, {352, 30}, {412, 16}, {444, 16},
};
// The social-security card record's six fields, in record order.
inline constexpr RecordField kSocialCardFields[] = {
    {0, 20}, {40, 20}, {80, 20}, {120, 20}, {160, 50}, {260, 22},
};
// The magnetic card record's three tracks.
inline constexpr RecordField kMagCardFields[] = {{0, 200}, {400, 200}, {800, 200}};
// The bank card text fills its whole buffer.
inline constexpr RecordField kBankCardText = {0, 54};

// The field's text in the internal code page. Reading stops at the first zero unit, or at the
// field's width when the library left none there, and never runs past `recordSize`.
std::string recordFieldText(const uint8_t* record, size_t recordSize, RecordField field);

// The fields' texts in the order given, with one "|" between neighbours. A "|" or a control
// character inside a field is left out: pages split the answer at every "|", so one more would
// move every later field.
std::string joinFields(const uint8_t* record, size_t recordSize, const RecordField* fields,
                       size_t count);
inline std::string joinFields(const uint8_t* record, size_t recordSize,
                              std::initializer_list<RecordField> fields) {
    return joinFields(record, recordSize, fields.begin(), fields.size());
}
template <size_t N>
std::string joinFields(const uint8_t* record, size_t recordSize, const RecordField (&fields)[N]) {
    return joinFields(record, recordSize, fields, N);
}

}  // namespace lenvaro
