// One ID card reader's security module (SAM) and the conversation with it: each command with its
// own time-out, one retry of a damaged or missing reply, and a whole card read (find, select,
// read) that never runs past the caller's deadline.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "pictavo/cards/id_card_text.h"
#include "pictavo/cards/sam_frames.h"

namespace pictavo {

using SteadyTime = std::chrono::steady_clock::time_point;

// The bytes to and from one module: a serial port, or a USB module's bulk endpoints. Used by one
// thread at a time.
class SamLink {
  public:
    virtual ~SamLink() = default;
    // Sends a whole frame by `deadline`. False when it could not (then `gone()` tells whether
    // the device went away).
    virtual bool send(const Bytes& frame, SteadyTime deadline) = 0;
    // Appends what arrives to `received`, waiting until `deadline` for the first bytes; nothing
    // appended means time ran out or the device went away (`gone()`).
    virtual void receive(Bytes& received, SteadyTime deadline) = 0;
    // Throws away bytes nobody asked for (a late reply to an earlier request).
    virtual void discardInput() = 0;
    // The device is no longer there (unplugged): nothing will ever come.
    virtual bool gone() const = 0;
};

// What a card read gives: the text, the encoded photo and the fingerprint records.
struct SamCardData {
    std::array<uint8_t, kIdCardTextBytes> text{};
    Bytes photo;         // 1024 bytes, as the card holds it (only the maker's decoder reads it)
    Bytes fingerprints;  // 0, 512 or 1024 bytes: whole 512-byte records
    Bytes additionalAddress;  // UCS-2 LE, as the card holds it; empty when it has none
};

enum class SamOutcome {
    kRead,    // a card was read
    kNoCard,  // no card in the field (or the module will not read it again until it leaves)
    kFailed,  // a card was there but could not be read (taken off halfway, a module fault)
    kSilent,  // the module did not answer (twice)
    kGone,    // the device went away
};

struct SamTimeouts {
    std::chrono::milliseconds status{500};
    std::chrono::milliseconds find{400};
    std::chrono::milliseconds select{400};
    std::chrono::milliseconds read{3000};
    std::chrono::milliseconds additionalAddress{500};
};

class SamModule {
  public:
    explicit SamModule(std::unique_ptr<SamLink> link, SamTimeouts timeouts = {});

    // Whether the module answers the status command (a serial port is kept only then).
    bool answersStatus(SteadyTime deadline);
    // Finds and selects the card, reads its base message (with fingerprints when the module
    // can) and its additional address.
    SamOutcome readCard(SamCardData& card, SteadyTime deadline);

    bool gone() const { return link_->gone(); }

    // One command and its reply: sent again once when the reply is damaged, malformed
    // (`wellFormed` says no) or missing, or when the module says it got the request damaged.
    SamOutcome exchange(SamCommand command, std::chrono::milliseconds timeout, SteadyTime deadline,
                        bool (*wellFormed)(const SamReply&), SamReply& reply);

  private:
    bool readBaseMessage(SamCardData& card, SteadyTime deadline, SamOutcome& outcome);

    std::unique_ptr<SamLink> link_;
    const SamTimeouts timeouts_;
    // Older modules do not know the read with fingerprints; they are asked for the base message
    // alone from then on.
    bool fingerprintsKnown_ = true;
};

}  // namespace pictavo
