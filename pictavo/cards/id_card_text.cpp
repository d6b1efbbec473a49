// The card layouts of the second-generation ID card family.
#include "pictavo/cards/id_card_text.h"

#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/social_security_card.h"

namespace pictavo {
namespace {

// The UTF-16LE units of `bytes` bytes from `offset`, as they stand.
std::u16string unitsAt(const uint8_t* text, size_t offset, size_t bytes) {
    std::u16string units;
    for (size_t i = offset; i + 1 < offset + bytes; i += 2) {
        units.push_back(static_cast<char16_t>(text[i] | text[i + 1] << 8));
    }
    return units;
}

std::u16string fieldAt(const uint8_t* text, size_t offset, size_t bytes) {
    return cleanCardText(unitsAt(text, offset, bytes));
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Sex as printed on the card, from its national code (GB/T 2261.1).
std::u16string sexOf(const std::u16string& code) {
    if (code == u"0") return u"未知";
    if (code == u"1") return u"男";
    if (code == u"2") return u"女";
    if (code == u"9") return u"未说明";
    return code;
}

// The ethnic group as printed on the card: its name in the national table without the final
// 族 ("汉" for 01, "其他" for 97). A code outside the table stays as it is.
std::u16string ethnicityOf(const std::u16string& code) {
    if (code.size() != 2 || code[0] < u'0' || code[0] > u'9' || code[1] < u'0' ||
        code[1] > u'9') {
        return code;
    }
    const int number = (code[0] - u'0') * 10 + (code[1] - u'0');
    std::u16string name = utf8ToUtf16(ethnicityName(number));
    if (name.size() > 1 && name.back() == u'族') name.pop_back();
    return name;
}

// Bytes 248-249 of the text.
constexpr size_t kMarkerOffset = 248;

}  // namespace

std::u16string cleanCardText(const std::u16string& text) {
    std::u16string clean;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            clean.push_back(unit);
            clean.push_back(text[++i]);
            continue;
        }
        const bool control = unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
        if (control || unit == u'|' || isHighSurrogate(unit) || isLowSurrogate(unit)) continue;
        clean.push_back(unit);
    }
    while (!clean.empty() && (clean.back() == u' ' || clean.back() == u'\u3000')) clean.pop_back();
    return clean;
}

IdCardKind idCardKindOf(const uint8_t* text) {
    const char16_t marker = static_cast<char16_t>(text[kMarkerOffset] | text[kMarkerOffset + 1] << 8);
    switch (marker) {
        case u'J': return IdCardKind::kHongKongMacauTaiwan;
        case u'I': return IdCardKind::kForeign2017;
        case u'Y': return IdCardKind::kForeign2023;
        default: return IdCardKind::kResident;
    }
}

std::array<std::u16string, 9> idCardFields(const uint8_t* text) {
    switch (idCardKindOf(text)) {
        case IdCardKind::kResident:
        case IdCardKind::kHongKongMacauTaiwan: {
            // The permit keeps the resident card's places; where the ethnicity would be it has
            // nothing. Its pass number and issue count (bytes 220-241) have no field.
            const bool resident = idCardKindOf(text) == IdCardKind::kResident;
            return {fieldAt(text, 0, 30),
                    sexOf(fieldAt(text, 30, 2)),
                    resident ? ethnicityOf(fieldAt(text, 32, 4)) : u"",
                    fieldAt(text, 36, 16),
                    fieldAt(text, 52, 70),
                    fieldAt(text, 122, 36),
                    fieldAt(text, 158, 30),
                    fieldAt(text, 188, 16),
                    fieldAt(text, 204, 16)};
        }
        case IdCardKind::kForeign2017: {
            const std::u16string english = fieldAt(text, 0, 120);
            const std::u16string chinese = fieldAt(text, 158, 30);
            return {chinese.empty() ? english : chinese,
                    sexOf(fieldAt(text, 120, 2)),
                    fieldAt(text, 152, 6),
                    fieldAt(text, 220, 16),
                    english,
                    fieldAt(text, 122, 30),
                    fieldAt(text, 240, 8),
                    fieldAt(text, 188, 16),
                    fieldAt(text, 204, 16)};
        }
        case IdCardKind::kForeign2023: {
            // The English name's first 35 characters, then characters 36 to 46 further on.
            const std::u16string english =
                cleanCardText(unitsAt(text, 52, 70) + unitsAt(text, 220, 22));
            const std::u16string chinese = fieldAt(text, 0, 30);
            return {chinese.empty() ? english : chinese,
                    sexOf(fieldAt(text, 30, 2)),
                    fieldAt(text, 242, 6),
                    fieldAt(text, 36, 16),
                    english,
                    fieldAt(text, 122, 36),
                    u"",
                    fieldAt(text, 188, 16),
                    fieldAt(text, 204, 16)};
        }
    }
    return {};
}

void putIdCardFields(IdCardRecord& record, const std::array<std::u16string, 9>& fields) {
    record.fill(0);
    for (size_t i = 0; i < fields.size(); ++i) {
        std::u16string field = fields[i].substr(0, kIdCardFieldWidths[i] - 1);
        if (!field.empty() && isHighSurrogate(field.back())) field.pop_back();
        for (size_t unit = 0; unit < field.size(); ++unit) {
            record[kIdCardFieldOffsets[i] + 2 * unit] = static_cast<uint8_t>(field[unit] & 0xFF);
            record[kIdCardFieldOffsets[i] + 2 * unit + 1] = static_cast<uint8_t>(field[unit] >> 8);
        }
    }
}

}  // namespace pictavo
