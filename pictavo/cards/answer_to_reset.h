// What a card's answer to reset (ATR) tells: its historical bytes, and whether a PC/SC reader
// made it up for a contactless card.
#pragma once

#include <optional>
#include <string>

#include "pictavo/cards/apdu_session.h"

namespace pictavo {

// The historical bytes; nullopt when the ATR is shorter than its own interface bytes say.
std::optional<Bytes> historicalBytes(const Bytes& atr);

// Contactless cards have no ATR of their own: a PC/SC reader answers for them with one made up
// to a fixed pattern (3B 8n 80 01 ...), which tells them from contact cards.
bool isContactlessAtr(const Bytes& atr);

// Upper-case hexadecimal, two digits a byte.
std::string hexText(const Bytes& bytes);

}  // namespace pictavo
