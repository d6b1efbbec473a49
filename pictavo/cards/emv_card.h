// The number of an EMV payment card (bank card), contact or contactless, read the way a payment
// terminal starts a transaction: the payment directory or a list of known applications, SELECT,
// GET PROCESSING OPTIONS, READ RECORD over the records the card names.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pictavo/cards/apdu_session.h"
#include "pictavo/cards/ber_tlv.h"

namespace pictavo {

// What the terminal tells the card about the transaction it pretends to start: no amount, the
// configured country and currency, today's date and a fresh random number.
struct EmvTerminalData {
    uint16_t countryCode = 156;   // ISO 3166 numeric
    uint16_t currencyCode = 156;  // ISO 4217 numeric
    std::array<uint8_t, 3> date{0x24, 0x01, 0x01};  // YYMMDD in BCD
    std::array<uint8_t, 3> time{};                  // HHMMSS in BCD
    std::array<uint8_t, 4> unpredictableNumber{};
};

// The local date and time and a random unpredictable number, for one read.
EmvTerminalData emvTerminalDataNow(uint16_t countryCode, uint16_t currencyCode);

// The applications tried, in order, when the card has no payment directory (or none of its
// entries answers): China UnionPay debit, credit and quasi-credit, Visa, Visa Electron,
// Mastercard, Maestro.
const std::vector<Bytes>& knownPaymentApplications();

// Reads the card number (digits only). `contactless` says which directory to look in first
// (2PAY.SYS.DDF01 rather than 1PAY.SYS.DDF01). kOk with `number` set, or kFailed when no
// application gives a number or the card went away.
int readEmvCardNumber(ApduSession& card, bool contactless, const EmvTerminalData& terminal,
                      std::string& number);

// The data the card asked for in its PDOL, in its order and lengths. Numeric fields are
// right-aligned (cut or padded on the left), others left-aligned; tags the terminal knows nothing
// about are zeros. Nullopt when the card asks for more than one command can carry.
std::optional<Bytes> fillDol(const std::vector<DolEntry>& dol, const EmvTerminalData& terminal);

// The card number in tag 5A (BCD, padded with F) or in the track 2 equivalent of tag 57 (before
// the separator D); nullopt unless 12 to 19 digits.
std::optional<std::string> numberFromPan(const Bytes& pan);
std::optional<std::string> numberFromTrack2(const Bytes& track2);

}  // namespace pictavo
