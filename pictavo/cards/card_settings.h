// The simulated card readers and the cards on them, as the "cards" section of
// cfg/simulator.json describes them. Without the section the readers exist with the sample
// cards; every card starts from its sample and the section changes what it names. Errors never
// quote a value from the section: card data stays out of every log.
#pragma once

#include <json/value.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pictavo/cards/id_reader_settings.h"
#include "pictavo/cards/mag_stripe_settings.h"

namespace pictavo {

struct IdCardSettings {
    bool present = true;
    // UTF-16 texts in record order; each fits its field with room for the terminating unit.
    std::array<std::u16string, 9> fields;
    // A bitmap file handed out as the holder's photo; "" draws one.
    std::string photoFile;
    // How many fingerprint templates the card holds (0 to 2).
    int fingerprints = 2;
};

struct SocialCardSettings {
    bool present = true;
    std::array<std::u16string, 6> fields;  // record order
};

struct BankCardSettings {
    bool present = true;
    std::u16string number;
};

struct MagCardSettings {
    bool present = true;
    std::array<std::u16string, 3> tracks;
};

// Texts of the IC card are byte strings handed out as they stand in the file.
struct IcCardSettings {
    bool present = true;
    std::string number;
    std::string holder;
    std::string issuer;  // the issuing region, six digits
    std::string validFrom;
    std::string validUntil;
    std::string socialNumber;
    std::string cardCode;  // card identification code, 32 hexadecimal digits
    std::string version;
    std::string pin;
    int pinTries = 3;
    // What the holder types on the reader's PIN pad, one entry per prompt in order; the last
    // entry repeats.
    std::vector<std::string> pinPad;
    int64_t balance = 0;                       // in the smallest currency unit
    std::map<std::string, std::string> files;  // by address
};

// What the library tells cards about the terminal it acts as.
struct TerminalSettings {
    int countryCode = 156;   // ISO 3166 numeric (China)
    int currencyCode = 156;  // ISO 4217 numeric (yuan)
    // The terminal's own numbers, which the basic data of a social-security card ends with.
    std::string number;
    std::string deviceNumber;
};

struct CardSettings {
    bool simulated = true;  // false: no simulated reader at all
    bool pcsc = true;       // false: the computer's smart card readers are not used
    TerminalSettings terminal;
    IdCardSettings idCard;
    SocialCardSettings socialCard;
    BankCardSettings bankCard;
    MagCardSettings magCard;
    IcCardSettings icCard;
    // The real stripe readers, in front of the simulated magnetic card.
    MagStripeSettings magStripe;
    // The real ID card readers, in front of the simulated ID card.
    IdReaderSettings idReader;
};

// The widths of the ID card's nine and the social-security card's six fields in UTF-16 units.
inline constexpr size_t kIdCardFieldWidths[9] = {30, 4, 20, 16, 70, 36, 30, 16, 16};
inline constexpr size_t kIdCardFieldOffsets[9] = {0, 60, 68, 108, 140, 280, 352, 412, 444};
inline constexpr size_t kSocialCardFieldWidths[6] = {20, 20, 20, 20, 50, 22};
inline constexpr size_t kSocialCardFieldOffsets[6] = {0, 40, 80, 120, 160, 260};
inline constexpr size_t kBankCardNumberUnits = 53;
inline constexpr size_t kMagCardTrackUnits = 200;
// Bytes an IC card file holds.
inline constexpr size_t kIcCardFileBytes = 8192;

// The sample cards, used where the section says nothing.
CardSettings sampleCards();

// Reads `section` over the samples into `settings`. A relative photo path is taken from
// `baseDirectory` (the configuration file's). Returns "" or one line saying what is wrong.
std::string readCardSettings(const Json::Value& section, const std::string& baseDirectory,
                             CardSettings& settings);

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD.
std::u16string utf8ToUtf16(const std::string& text);

}  // namespace pictavo
