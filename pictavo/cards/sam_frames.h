// The frames the ID card reader's security module (SAM) speaks, over a serial line or USB bulk
// endpoints alike. Building and parsing only: no I/O.
//
//   request  AA AA AA 96 69 | length (2 bytes, big endian) | CMD PARA | data | CHK
//   reply    AA AA AA 96 69 | length                        | SW1 SW2 SW3 | data | CHK
//
// The length counts every byte after itself, CHK included; CHK is the XOR of every byte after
// the preamble (the length bytes included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pictavo {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kSamPreamble[5] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};

struct SamCommand {
    uint8_t command;
    uint8_t parameter;
};

inline constexpr SamCommand kSamReset{0x10, 0xFF};
inline constexpr SamCommand kSamStatus{0x11, 0xFF};
inline constexpr SamCommand kSamModuleId{0x12, 0xFF};
inline constexpr SamCommand kSamFindCard{0x20, 0x01};
inline constexpr SamCommand kSamSelectCard{0x20, 0x02};
inline constexpr SamCommand kSamReadBase{0x30, 0x01};
inline constexpr SamCommand kSamReadBaseWithFingerprints{0x30, 0x10};
inline constexpr SamCommand kSamReadAdditionalAddress{0x30, 0x03};

// The longest reply a module gives: a base read with two fingerprint records (2321 bytes in
// all). A length beyond this is noise, never waited for.
inline constexpr size_t kSamMaxFrameLength = 3 + 6 + 256 + 1024 + 1024 + 1;

// A whole frame around `body` (CMD PARA data, or SW1 SW2 SW3 data).
Bytes samFrame(const Bytes& body);
Bytes samRequest(SamCommand command, const Bytes& data = {});

struct SamReply {
    uint8_t sw1 = 0;
    uint8_t sw2 = 0;
    uint8_t sw3 = 0;
    Bytes data;
};

// Frames out of a byte stream that may bring them in pieces, after noise, or damaged. Not
// thread-safe.
class SamFrameParser {
  public:
    // The shortest body a frame may have: 2 for requests (CMD PARA), 3 for replies (SW1-SW3).
    explicit SamFrameParser(size_t minBodySize = 3) : minBodySize_(minBodySize) {}

    void feed(const uint8_t* bytes, size_t size);
    void feed(const Bytes& bytes) { feed(bytes.data(), bytes.size()); }

    // The body (what lies between the length and CHK) of the first whole, intact frame that has
    // arrived, with everything before it dropped. A frame with a bad length or checksum is
    // skipped; so is one that has not ended when an intact one follows it (its length was
    // noise).
    std::optional<Bytes> next();
    // The same for a reply.
    std::optional<SamReply> nextReply();

    // Whether a damaged frame was skipped since the last reset.
    bool sawDamage() const { return sawDamage_; }
    void reset();

  private:
    const size_t minBodySize_;
    Bytes buffer_;
    bool sawDamage_ = false;
};

// What the module's SW3 says.
enum class SamAnswer {
    kDone,           // 90
    kCardFound,      // 9F
    kNoCard,         // 80
    kSelectFailed,   // 81
    kReadFailed,     // 41
    kNothingThere,   // 91: the card holds no such item (no additional address)
    kDamagedFrame,   // 10, 11: the module received our request damaged (checksum, length)
    kUnknownCommand, // 21
    kModuleFault,    // 23, 24, 31, 32, 33, 40, 47, 60, 66: the module or the card's security
    kUnexpected,     // anything else
};

SamAnswer samAnswerOf(uint8_t sw3);

// The library's status for a module's answer: kOk for done, card found and nothing there (an
// empty item is no failure), kNotSupported for an unknown command, kFailed otherwise.
int samStatusOf(SamAnswer answer);

}  // namespace pictavo
