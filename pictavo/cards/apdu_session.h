// Commands to a chip card and the card's answers (ISO/IEC 7816-4 APDUs) over whatever carries
// them: a PC/SC reader in the library, a scripted card in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pictavo {

using Bytes = std::vector<uint8_t>;

// The link to one card for the length of one read. Implementations need not be thread-safe.
class CardChannel {
  public:
    virtual ~CardChannel() = default;
    // Sends one command APDU as it stands and gives the card's bytes (data and status word).
    // False when the card is gone (removed, reset, unpowered) or the link failed: the read ends.
    virtual bool transmit(const Bytes& command, Bytes& response) = 0;
    // T=0 carries no Le in a command that also sends data; the card then answers 61xx and the
    // data is fetched with GET RESPONSE.
    virtual bool usesT0() const = 0;
};

// What the card answered: its data and the status word (0x9000 when all went well).
struct CardAnswer {
    Bytes data;
    uint16_t status = 0;

    bool ok() const { return status == 0x9000; }
};

// One command: class, instruction, parameters, data (may be empty) and the length expected back
// (none: the card sends nothing; 0: as much as the card has, up to 256 bytes).
struct Command {
    uint8_t cla = 0x00;
    uint8_t ins = 0;
    uint8_t p1 = 0;
    uint8_t p2 = 0;
    Bytes data;
    std::optional<uint8_t> le;
};

// Sends commands the way both transmission protocols need and collects whole answers: data the
// card holds back behind 61xx is fetched with GET RESPONSE, and a command the card answers with
// 6Cxx ("wrong length, xx is right") is sent again with that length.
class ApduSession {
  public:
    explicit ApduSession(CardChannel& channel) : channel_(channel) {}

    // False when the card is gone or answered with fewer than two bytes; `answer` then holds
    // nothing useful and the read should end.
    bool send(const Command& command, CardAnswer& answer);

  private:
    bool exchange(const Bytes& apdu, CardAnswer& answer);

    CardChannel& channel_;
};

// The command bytes of `command` as sent over T=1, or over T=0 (no Le after data).
Bytes encodeCommand(const Command& command, bool forT0);

}  // namespace pictavo
