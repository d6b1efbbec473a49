// Reading the simulated cards out of the configuration.
#include "pictavo/cards/card_settings.h"

#include <cstddef>
#include <initializer_list>

namespace pictavo {
namespace {

// Reads a part of the section; each returns "" or what is wrong, naming keys, never values.
using Error = std::string;

std::u16string u16(const char* utf8) { return utf8ToUtf16(utf8); }

Error unknownKeys(const Json::Value& object, std::initializer_list<const char*> known) {
    for (const std::string& name : object.getMemberNames()) {
        bool found = false;
        for (const char* key : known) found = found || name == key;
        if (!found) return "unknown key \"" + name + "\"";
    }
    return "";
}

Error readBool(const Json::Value& object, const char* key, bool& value) {
    if (!object.isMember(key)) return "";
    if (!object[key].isBool()) return "\"" + std::string(key) + "\" is not true or false";
    value = object[key].asBool();
    return "";
}

Error readInt(const Json::Value& object, const char* key, int64_t low, int64_t high,
              int64_t& value) {
    if (!object.isMember(key)) return "";
    const Json::Value& member = object[key];
    if (!member.isInt64() || member.asInt64() < low || member.asInt64() > high) {
        return "\"" + std::string(key) + "\" is not a whole number from " + std::to_string(low) +
               " to " + std::to_string(high);
    }
    value = member.asInt64();
    return "";
}

// A text of at most `maxBytes` bytes without the characters in `forbidden`.
Error readText(const Json::Value& object, const char* key, size_t maxBytes,
               const std::string& forbidden, std::string& value) {
    if (!object.isMember(key)) return "";
    const Json::Value& member = object[key];
    if (!member.isString()) return "\"" + std::string(key) + "\" is not a text";
    const std::string text = member.asString();
    if (text.size() > maxBytes) {
        return "\"" + std::string(key) + "\" is longer than " + std::to_string(maxBytes) + " bytes";
    }
    if (text.find('\0') != std::string::npos ||
        (!forbidden.empty() && text.find_first_of(forbidden) != std::string::npos)) {
        return "\"" + std::string(key) + "\" holds a character it may not hold";
    }
    value = text;
    return "";
}

// A UTF-16 field that must leave room for its terminating unit within `widthUnits`.
Error toField(const Json::Value& value, const std::string& what, size_t widthUnits,
              std::u16string& field) {
    if (!value.isString()) return what + " is not a text";
    std::u16string units = utf8ToUtf16(value.asString());
    if (units.find(u'\0') != std::u16string::npos) return what + " holds a zero character";
    if (units.size() >= widthUnits) {
        return what + " is longer than " + std::to_string(widthUnits - 1) + " UTF-16 units";
    }
    field = std::move(units);
    return "";
}

template <size_t N>
Error readFields(const Json::Value& object, const char* key, const size_t (&widths)[N],
                 std::array<std::u16string, N>& fields) {
    if (!object.isMember(key)) return "";
    const Json::Value& list = object[key];
    const std::string name = "\"" + std::string(key) + "\"";
    if (!list.isArray() || list.size() != N) {
        return name + " is not a list of " + std::to_string(N) + " texts";
    }
    std::array<std::u16string, N> read;
    for (Json::ArrayIndex i = 0; i < N; ++i) {
        Error error = toField(list[i], name + " item " + std::to_string(i + 1), widths[i], read[i]);
        if (!error.empty()) return error;
    }
    fields = std::move(read);
    return "";
}

bool isFileAddress(const std::string& address) {
    if (address.empty() || address.size() > 32) return false;
    for (char c : address) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                             (c >= '0' && c <= '9') || c == '/' || c == '_' || c == '.' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

bool isPin(const std::string& pin) {
    if (pin.size() < 4 || pin.size() > 12) return false;
    return pin.find_first_not_of("0123456789") == std::string::npos;
}

Error readIdCard(const Json::Value& object, const std::string& baseDirectory,
                 IdCardSettings& card) {
    if (!object.isObject()) return "is not an object";
    Error error = unknownKeys(object, {"present", "fields", "photo", "fingerprints"});
    if (error.empty()) error = readBool(object, "present", card.present);
    if (error.empty()) error = readFields(object, "fields", kIdCardFieldWidths, card.fields);
    std::string photo;
    if (error.empty()) error = readText(object, "photo", 4096, "", photo);
    if (error.empty() && !photo.empty()) {
        card.photoFile =
            photo.front() == '/' || baseDirectory.empty() ? photo : baseDirectory + "/" + photo;
    }
    int64_t fingerprints = card.fingerprints;
    if (error.empty()) error = readInt(object, "fingerprints", 0, 2, fingerprints);
    card.fingerprints = static_cast<int>(fingerprints);
    return error;
}

Error readSocialCard(const Json::Value& object, SocialCardSettings& card) {
    if (!object.isObject()) return "is not an object";
    Error error = unknownKeys(object, {"present", "fields"});
    if (error.empty()) error = readBool(object, "present", card.present);
    if (error.empty()) error = readFields(object, "fields", kSocialCardFieldWidths, card.fields);
    return error;
}

Error readBankCard(const Json::Value& object, BankCardSettings& card) {
    if (!object.isObject()) return "is not an object";
    Error error = unknownKeys(object, {"present", "number"});
    if (error.empty()) error = readBool(object, "present", card.present);
    if (error.empty() && object.isMember("number")) {
        error = toField(object["number"], "\"number\"", kBankCardNumberUnits + 1, card.number);
    }
    return error;
}

Error readMagCard(const Json::Value& object, MagCardSettings& card) {
    if (!object.isObject()) return "is not an object";
    Error error = unknownKeys(object, {"present", "tracks"});
    if (error.empty()) error = readBool(object, "present", card.present);
    constexpr size_t kWidths[3] = {kMagCardTrackUnits, kMagCardTrackUnits, kMagCardTrackUnits};
    if (error.empty()) error = readFields(object, "tracks", kWidths, card.tracks);
    return error;
}

Error readIcCard(const Json::Value& object, IcCardSettings& card) {
    if (!object.isObject()) return "is not an object";
    Error error =
        unknownKeys(object, {"present", "number", "holder", "issuer", "validFrom", "validUntil",
                             "socialNumber", "cardCode", "version", "pin", "pinTries", "pinPad",
                             "balance", "files"});
    if (error.empty()) error = readBool(object, "present", card.present);
    // The basic data is answered as "|"-separated fields, so none may hold a "|".
    const std::pair<const char*, std::string*> texts[] = {
        {"number", &card.number},       {"holder", &card.holder},         {"issuer", &card.issuer},
        {"validFrom", &card.validFrom}, {"validUntil", &card.validUntil},
        {"socialNumber", &card.socialNumber}, {"cardCode", &card.cardCode},
        {"version", &card.version},
    };
    for (const auto& [key, target] : texts) {
        if (error.empty()) error = readText(object, key, 64, "|", *target);
    }
    if (error.empty() && card.number.empty()) error = "\"number\" is empty";
    if (error.empty()) error = readText(object, "pin", 12, "", card.pin);
    if (error.empty() && !isPin(card.pin)) error = "\"pin\" is not 4 to 12 digits";
    int64_t tries = card.pinTries;
    if (error.empty()) error = readInt(object, "pinTries", 1, 15, tries);
    card.pinTries = static_cast<int>(tries);
    if (error.empty() && object.isMember("pinPad")) {
        const Json::Value& pad = object["pinPad"];
        std::vector<std::string> entries;
        if (!pad.isArray() || pad.empty()) error = "\"pinPad\" is not a list of texts";
        for (Json::ArrayIndex i = 0; error.empty() && i < pad.size(); ++i) {
            if (!pad[i].isString() || pad[i].asString().size() > 12) {
                error = "\"pinPad\" item " + std::to_string(i + 1) +
                        " is not a text of at most 12 characters";
            } else {
                entries.push_back(pad[i].asString());
            }
        }
        if (error.empty()) card.pinPad = std::move(entries);
    } else if (error.empty()) {
        card.pinPad = {card.pin};  // the holder knows the PIN
    }
    if (error.empty()) error = readInt(object, "balance", 0, 2147483647, card.balance);
    if (error.empty() && object.isMember("files")) {
        const Json::Value& files = object["files"];
        std::map<std::string, std::string> read;
        if (!files.isObject()) error = "\"files\" is not an object";
        for (const std::string& address :
             error.empty() ? files.getMemberNames() : std::vector<std::string>()) {
            if (!isFileAddress(address)) {
                error = "\"files\" has an address that is not 1 to 32 letters, digits or /_.-";
                break;
            }
            std::string content;
            error = readText(files, address.c_str(), kIcCardFileBytes, "", content);
            if (!error.empty()) {
                error = "\"files\": " + error;
                break;
            }
            read[address] = content;
        }
        if (error.empty()) card.files = std::move(read);
    }
    return error;
}

Error readTerminal(const Json::Value& object, TerminalSettings& terminal) {
    if (!object.isObject()) return "is not an object";
    Error error = unknownKeys(object, {"countryCode", "currencyCode", "number", "deviceNumber"});
    int64_t country = terminal.countryCode;
    int64_t currency = terminal.currencyCode;
    if (error.empty()) error = readInt(object, "countryCode", 1, 999, country);
    if (error.empty()) error = readInt(object, "currencyCode", 1, 999, currency);
    terminal.countryCode = static_cast<int>(country);
    terminal.currencyCode = static_cast<int>(currency);
    // Both numbers end up in "|"-separated answers.
    if (error.empty()) error = readText(object, "number", 32, "|", terminal.number);
    if (error.empty()) error = readText(object, "deviceNumber", 32, "|", terminal.deviceNumber);
    return error;
}

}  // namespace

std::u16string utf8ToUtf16(const std::string& text) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        uint32_t cp = 0xFFFD;
        size_t length = 1;
        size_t need = 0;
        uint32_t min = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1, cp = lead & 0x1F, min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2, cp = lead & 0x0F, min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3, cp = lead & 0x07, min = 0x10000;
        }
        if (need > 0) {
            bool valid = true;
            for (size_t k = 1; k <= need; ++k) {
                if (i + k >= n || (p[i + k] & 0xC0) != 0x80) {
                    valid = false;
                    length = k;  // the maximal ill-formed part becomes one replacement
                    break;
                }
                cp = (cp << 6) | (p[i + k] & 0x3F);
            }
            if (valid) {
                length = need + 1;
                if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
            } else {
                cp = 0xFFFD;
            }
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

CardSettings sampleCards() {
    CardSettings cards;
    cards.idCard.fields = {u16("张三"),
                           u16("男"),
                           u16("汉"),
                           u16("19900307"),
                           u16("北京市东城区示例街1号"),
                           u16("110101199003071233"),
                           u16("北京市公安局东城分局"),
                           u16("20200101"),
                           u16("20400101")};
    cards.socialCard.fields = {u16("110101199003071233"), u16("张三"),   u16("男"), u16("汉族"),
                               u16("110100"),             u16("A01234567")};
    cards.bankCard.number = u16("6200000000000000000");
    cards.magCard.tracks = {u16("B6200000000000000000^ZHANG/SAN^3012201"),
                            u16("6200000000000000000=30122010000000000"),
                            u16("996200000000000000000=000000000000000000000")};
    IcCardSettings& ic = cards.icCard;
    ic.number = "A01234567";
    ic.holder = "ZHANG SAN";
    ic.issuer = "110100";
    ic.validFrom = "20200101";
    ic.validUntil = "20300101";
    ic.socialNumber = "110101199003071233";
    ic.cardCode = "110100D15600000500A0123456789ABC";
    ic.version = "3.00";
    ic.pin = "123456";
    ic.pinPad = {"123456"};
    ic.balance = 10000;
    ic.files = {{"EF05", "110101199003071233|ZHANG SAN|1|01"}, {"EF06", ""}, {"EF07", ""}};
    return cards;
}

std::string readCardSettings(const Json::Value& section, const std::string& baseDirectory,
                             CardSettings& settings) {
    if (!section.isObject()) return "\"cards\" is not an object";
    CardSettings read = sampleCards();
    Error error = unknownKeys(
        section, {"simulated", "pcsc", "terminal", "idCard", "socialCard", "bankCard", "magCard",
                  "icCard", "magStripe", "idReader"});
    if (error.empty()) error = readBool(section, "simulated", read.simulated);
    if (error.empty()) error = readBool(section, "pcsc", read.pcsc);
    const auto part = [&](const char* key, auto reader) {
        if (!error.empty() || !section.isMember(key)) return;
        Error partError = reader(section[key]);
        if (!partError.empty()) error = "\"" + std::string(key) + "\": " + partError;
    };
    part("idCard", [&](const Json::Value& v) { return readIdCard(v, baseDirectory, read.idCard); });
    part("socialCard", [&](const Json::Value& v) { return readSocialCard(v, read.socialCard); });
    part("bankCard", [&](const Json::Value& v) { return readBankCard(v, read.bankCard); });
    part("magCard", [&](const Json::Value& v) { return readMagCard(v, read.magCard); });
    part("icCard", [&](const Json::Value& v) { return readIcCard(v, read.icCard); });
    part("terminal", [&](const Json::Value& v) { return readTerminal(v, read.terminal); });
    part("magStripe", [&](const Json::Value& v) { return readMagStripeSettings(v, read.magStripe); });
    part("idReader", [&](const Json::Value& v) {
        return readIdReaderSettings(v, baseDirectory, read.idReader);
    });
    if (!error.empty()) return "\"cards\": " + error;
    settings = std::move(read);
    return "";
}

}  // namespace pictavo
