// Sending commands to a chip card.
#include "pictavo/cards/apdu_session.h"

namespace pictavo {
namespace {

constexpr uint8_t kGetResponse = 0xC0;
// A card that keeps answering 61xx would otherwise be asked forever; no answer this library
// reads comes near this many GET RESPONSE rounds.
constexpr int kMaxGetResponses = 32;

uint8_t sw1(uint16_t status) { return static_cast<uint8_t>(status >> 8); }
uint8_t sw2(uint16_t status) { return static_cast<uint8_t>(status & 0xFF); }

}  // namespace

Bytes encodeCommand(const Command& command, bool forT0) {
    Bytes apdu{command.cla, command.ins, command.p1, command.p2};
    if (!command.data.empty()) {
        apdu.push_back(static_cast<uint8_t>(command.data.size()));
        apdu.insert(apdu.end(), command.data.begin(), command.data.end());
        if (command.le && !forT0) apdu.push_back(*command.le);
    } else if (command.le) {
        apdu.push_back(*command.le);
    }
    return apdu;
}

bool ApduSession::send(const Command& command, CardAnswer& answer) {
    if (command.data.size() > 255) return false;
    if (!exchange(encodeCommand(command, channel_.usesT0()), answer)) return false;
    if (sw1(answer.status) == 0x6C) {
        // The card names the length it wants; the same command again with that length.
        Command again = command;
        again.le = sw2(answer.status);
        return exchange(encodeCommand(again, channel_.usesT0()), answer);
    }
    return true;
}

bool ApduSession::exchange(const Bytes& apdu, CardAnswer& answer) {
    answer = CardAnswer();
    Bytes response;
    if (!channel_.transmit(apdu, response) || response.size() < 2) return false;
    answer.status = static_cast<uint16_t>((response[response.size() - 2] << 8) | response.back());
    answer.data.assign(response.begin(), response.end() - 2);
    for (int round = 0; sw1(answer.status) == 0x61; ++round) {
        if (round == kMaxGetResponses) return false;
        Bytes more;
        const Bytes getResponse{0x00, kGetResponse, 0x00, 0x00, sw2(answer.status)};
        if (!channel_.transmit(getResponse, more) || more.size() < 2) return false;
        answer.status = static_cast<uint16_t>((more[more.size() - 2] << 8) | more.back());
        answer.data.insert(answer.data.end(), more.begin(), more.end() - 2);
    }
    return true;
}

}  // namespace pictavo
