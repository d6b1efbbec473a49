// The basic data of a social-security card: its social-security application (SSSE) holds the
// issuer's file EF05 and the holder's file EF06, whose records are read by their tags.
#pragma once

#include <string>

#include "pictavo/cards/apdu_session.h"

namespace pictavo {

struct SocialSecurityCard {
    std::string cardCode;      // card identification code: 16 bytes as 32 hexadecimal digits
    std::string cardType;      // as the card states it
    std::string version;       // of the card standard the card follows, "3.00" say
    std::string issueDate;     // YYYYMMDD, "" when the card gives none
    std::string expiryDate;    // YYYYMMDD, "" when the card gives none
    std::string cardNumber;    // printed on the card
    std::string socialNumber;  // the holder's social-security number
    std::string name;          // UTF-8 (GBK on the card)
    int sexCode = -1;          // national code: 1 male, 2 female; -1 when unreadable
    int ethnicityCode = -1;    // national code, 1 to 56, 97, 98; -1 when unreadable

    // The issuing region: the first six digits of the identification code.
    std::string region() const { return cardCode.substr(0, 6); }
};

// Reads the basic data: kOk, or kFailed when the card has no such application, lacks one of
// the records every card has (identification code, card number, social-security number, name)
// or went away. The other records are left empty when missing.
int readSocialSecurityCard(ApduSession& card, SocialSecurityCard& data);

// "男" or "女"; "" for any other code.
std::string sexName(int code);
// The ethnic group's name from the national code table ("汉族" for 1); an unknown code as its
// two digits, nothing for -1.
std::string ethnicityName(int code);

// Cards store these small codes differently: one byte in BCD or binary, or ASCII digits.
// A single byte is read as BCD when both its halves are digits: 0x31 is 31, not the digit '1'.
int sexCodeOf(const Bytes& value);
int ethnicityCodeOf(const Bytes& value);

// A GBK (GB 18030) text in UTF-8, without the zeros, spaces or FF bytes that fill its field; an
// invalid byte becomes U+FFFD.
std::string gbkToUtf8(const Bytes& text);

// The fields of the basic-data answer social-security terminals use, in its order.
struct BasicDataFields {
    std::string region;
    std::string socialNumber;
    std::string cardNumber;
    std::string cardCode;
    std::string name;
    std::string historicalBytes;  // of the card's ATR, in hexadecimal
    std::string version;
    std::string issueDate;
    std::string expiryDate;
    std::string terminalNumber;
    std::string terminalDeviceNumber;
};

// Every field followed by "|"; a "|" or a control character inside a field is left out.
std::string basicDataText(const BasicDataFields& fields);

}  // namespace pictavo
