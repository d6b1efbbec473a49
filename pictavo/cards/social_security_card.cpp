// Reading a social-security card's basic data.
#include "pictavo/cards/social_security_card.h"

#include <iconv.h>

#include <cstdio>
#include <memory>

#include "pictavo/cards/answer_to_reset.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

// The application's name, "sx1.sh.社会保障" in GBK.
const Bytes kApplicationName{0x73, 0x78, 0x31, 0x2E, 0x73, 0x68, 0x2E, 0xC9,
                             0xE7, 0xBB, 0xE1, 0xB1, 0xA3, 0xD5, 0xCF};

// The records read, by tag, with the length each has on the card.
struct Record {
    uint8_t tag;
    uint8_t length;
};
// EF05, the issuer's file.
constexpr Record kCardCode{0x01, 16};
constexpr Record kCardType{0x02, 1};
constexpr Record kVersion{0x03, 4};
constexpr Record kIssueDate{0x05, 4};
constexpr Record kExpiryDate{0x06, 4};
constexpr Record kCardNumber{0x07, 9};
// EF06, the holder's file.
constexpr Record kSocialNumber{0x08, 18};
constexpr Record kName{0x09, 30};
constexpr Record kSex{0x0A, 1};
constexpr Record kEthnicity{0x0B, 1};

// The national code table of ethnic groups (GB 3304).
struct Ethnicity {
    int code;
    const char* name;
};
constexpr Ethnicity kEthnicities[] = {
    {1, "汉族"},       {2, "蒙古族"},     {3, "回族"},     {4, "藏族"},       {5, "维吾尔族"},
    {6, "苗族"},       {7, "彝族"},       {8, "壮族"},     {9, "布依族"},     {10, "朝鲜族"},
    {11, "满族"},      {12, "侗族"},      {13, "瑶族"},    {14, "白族"},      {15, "土家族"},
    {16, "哈尼族"},    {17, "哈萨克族"},  {18, "傣族"},    {19, "黎族"},      {20, "傈僳族"},
    {21, "佤族"},      {22, "畲族"},      {23, "高山族"},  {24, "拉祜族"},    {25, "水族"},
    {26, "东乡族"},    {27, "纳西族"},    {28, "景颇族"},  {29, "柯尔克孜族"}, {30, "土族"},
    {31, "达斡尔族"},  {32, "仫佬族"},    {33, "羌族"},    {34, "布朗族"},    {35, "撒拉族"},
    {36, "毛南族"},    {37, "仡佬族"},    {38, "锡伯族"},  {39, "阿昌族"},    {40, "普米族"},
    {41, "塔吉克族"},  {42, "怒族"},      {43, "乌孜别克族"}, {44, "俄罗斯族"}, {45, "鄂温克族"},
    {46, "德昂族"},    {47, "保安族"},    {48, "裕固族"},  {49, "京族"},      {50, "塔塔尔族"},
    {51, "独龙族"},    {52, "鄂伦春族"},  {53, "赫哲族"},  {54, "门巴族"},    {55, "珞巴族"},
    {56, "基诺族"},    {97, "其他"},      {98, "外国血统中国籍人士"},
};

enum class Read { kFound, kMissing, kCardGone };

bool selectFile(ApduSession& card, uint8_t high, uint8_t low, bool& gone) {
    CardAnswer answer;
    gone = !card.send(Command{0x00, 0xA4, 0x02, 0x00, {high, low}, std::nullopt}, answer);
    return !gone && answer.ok();
}

// READ RECORD of the first record with identifier `record.tag` in the selected file. The card
// answers the record itself: tag, length, value.
Read readRecord(ApduSession& card, const Record& record, Bytes& value) {
    CardAnswer answer;
    const Command command{0x00, 0xB2, record.tag, 0x00, {},
                          static_cast<uint8_t>(record.length + 2)};
    if (!card.send(command, answer)) return Read::kCardGone;
    const Bytes& data = answer.data;
    if (!answer.ok() || data.size() < 2 || data[0] != record.tag || data[1] > data.size() - 2) {
        return Read::kMissing;
    }
    value.assign(data.begin() + 2, data.begin() + 2 + data[1]);
    return Read::kFound;
}

bool isFiller(uint8_t byte) { return byte == 0x00 || byte == 0x20 || byte == 0xFF; }

Bytes trimmed(const Bytes& value) {
    size_t end = value.size();
    while (end > 0 && isFiller(value[end - 1])) --end;
    return Bytes(value.begin(), value.begin() + static_cast<ptrdiff_t>(end));
}

// Printable ASCII as it stands, anything else in hexadecimal.
std::string textOf(const Bytes& value) {
    const Bytes text = trimmed(value);
    for (uint8_t byte : text) {
        if (byte < 0x20 || byte > 0x7E) return hexText(text);
    }
    return std::string(text.begin(), text.end());
}

// Printable ASCII without "|" (it separates the answer's fields), or nothing.
std::string numberOf(const Bytes& value) {
    const Bytes text = trimmed(value);
    for (uint8_t byte : text) {
        if (byte <= 0x20 || byte > 0x7E || byte == '|') return "";
    }
    return std::string(text.begin(), text.end());
}

// A date as eight BCD digits in four bytes, or as eight ASCII digits.
std::string dateOf(const Bytes& value) {
    std::string digits = value.size() == 8 ? std::string(value.begin(), value.end())
                                           : hexText(value);
    if (digits.size() != 8 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return "";
    }
    return digits;
}

struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};

}  // namespace

int readSocialSecurityCard(ApduSession& card, SocialSecurityCard& data) {
    data = SocialSecurityCard();
    CardAnswer answer;
    if (!card.send(Command{0x00, 0xA4, 0x04, 0x00, kApplicationName, std::nullopt}, answer) ||
        !answer.ok()) {
        return kFailed;
    }
    bool gone = false;
    Bytes value;
    // Reads an optional record; a card that goes away ends the read all the same.
    const auto optional = [&](const Record& record) {
        value.clear();
        const Read read = readRecord(card, record, value);
        gone = gone || read == Read::kCardGone;
        return read == Read::kFound && !gone;
    };

    if (!selectFile(card, 0xEF, 0x05, gone)) return kFailed;
    if (!optional(kCardCode) || value.size() != kCardCode.length) return kFailed;
    data.cardCode = hexText(value);
    if (optional(kCardType)) data.cardType = textOf(value);
    if (optional(kVersion)) data.version = textOf(value);
    if (optional(kIssueDate)) data.issueDate = dateOf(value);
    if (optional(kExpiryDate)) data.expiryDate = dateOf(value);
    if (gone || !optional(kCardNumber)) return kFailed;
    data.cardNumber = numberOf(value);

    if (!selectFile(card, 0xEF, 0x06, gone)) return kFailed;
    if (!optional(kSocialNumber)) return kFailed;
    data.socialNumber = numberOf(value);
    if (!optional(kName)) return kFailed;
    data.name = gbkToUtf8(value);
    // "|" separates the fields of every answer that shows the name.
    for (char& c : data.name) {
        if (c == '|') c = '?';
    }
    if (optional(kSex)) data.sexCode = sexCodeOf(value);
    if (optional(kEthnicity)) data.ethnicityCode = ethnicityCodeOf(value);
    if (gone || data.cardNumber.empty() || data.socialNumber.empty() || data.name.empty()) {
        return kFailed;
    }
    return kOk;
}

std::string sexName(int code) {
    if (code == 1) return "男";
    if (code == 2) return "女";
    return "";
}

std::string ethnicityName(int code) {
    if (code < 0) return "";
    for (const Ethnicity& ethnicity : kEthnicities) {
        if (ethnicity.code == code) return ethnicity.name;
    }
    char digits[8];
    std::snprintf(digits, sizeof digits, "%02d", code % 1000);
    return digits;
}

int sexCodeOf(const Bytes& value) {
    if (value.size() != 1) return -1;
    const uint8_t byte = value[0];
    if (byte >= '0' && byte <= '9') return byte - '0';
    return byte <= 9 ? byte : -1;
}

int ethnicityCodeOf(const Bytes& value) {
    if (value.size() == 2 && value[0] >= '0' && value[0] <= '9' && value[1] >= '0' &&
        value[1] <= '9') {
        return (value[0] - '0') * 10 + (value[1] - '0');
    }
    if (value.size() != 1 || value[0] == 0x00 || value[0] == 0xFF) return -1;  // not filled in
    const uint8_t byte = value[0];
    if ((byte >> 4) <= 9 && (byte & 0x0F) <= 9) return (byte >> 4) * 10 + (byte & 0x0F);
    return byte;
}

std::string gbkToUtf8(const Bytes& text) {
    const Bytes input = trimmed(text);
    std::string out;
    const iconv_t opened = iconv_open("UTF-8", "GB18030");
    if (opened == reinterpret_cast<iconv_t>(-1)) return out;
    const std::unique_ptr<void, IconvCloser> cd(opened);
    char buffer[64];
    size_t at = 0;
    while (at < input.size()) {
        // One character at a time (at most four bytes), so an invalid byte costs only itself.
        bool converted = false;
        for (size_t length = 1; length <= 4 && at + length <= input.size() && !converted; ++length) {
            char* source = reinterpret_cast<char*>(const_cast<uint8_t*>(input.data() + at));
            size_t sourceLeft = length;
            char* target = buffer;
            size_t targetLeft = sizeof buffer;
            iconv(opened, nullptr, nullptr, nullptr, nullptr);
            if (iconv(opened, &source, &sourceLeft, &target, &targetLeft) != static_cast<size_t>(-1) &&
                sourceLeft == 0) {
                out.append(buffer, sizeof buffer - targetLeft);
                at += length;
                converted = true;
            }
        }
        if (!converted) {
            out += "\xEF\xBF\xBD";
            ++at;
        }
    }
    return out;
}

std::string basicDataText(const BasicDataFields& fields) {
    std::string text;
    for (const std::string* field :
         {&fields.region, &fields.socialNumber, &fields.cardNumber, &fields.cardCode, &fields.name,
          &fields.historicalBytes, &fields.version, &fields.issueDate, &fields.expiryDate,
          &fields.terminalNumber, &fields.terminalDeviceNumber}) {
        // Pages split the answer at every "|": one inside a field (a version record "3|00")
        // would move every later field, so it is left out, with any control character. The
        // texts are UTF-8, where neither byte occurs inside another character.
        for (const char c : *field) {
            if (c != '|' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) text += c;
        }
        text += '|';
    }
    return text;
}

}  // namespace pictavo
