// The conversation with one security module.
#include "pictavo/cards/sam_module.h"

#include <algorithm>
#include <utility>

namespace pictavo {
namespace {

constexpr size_t kPhotoBytes = 1024;
constexpr size_t kFingerprintRecordBytes = 512;
// At 115200 baud a module's reply arrives without gaps this long.
constexpr std::chrono::milliseconds kQuietAfterDamage{100};

size_t lengthAt(const Bytes& data, size_t offset) {
    return static_cast<size_t>(data[offset]) << 8 | data[offset + 1];
}

// The lengths a base message announces before its parts: text, photo (and fingerprints).
bool baseMessageLengths(const Bytes& data, size_t count, size_t (&lengths)[3]) {
    if (data.size() < 2 * count) return false;
    size_t total = 2 * count;
    for (size_t i = 0; i < count; ++i) {
        lengths[i] = lengthAt(data, 2 * i);
        total += lengths[i];
    }
    return total == data.size() && lengths[0] <= kIdCardTextBytes && lengths[1] <= kPhotoBytes &&
           (count < 3 || lengths[2] <= 2 * kFingerprintRecordBytes);
}

bool anyReply(const SamReply&) { return true; }

// A reply that says it read carries exactly the parts it announces.
bool baseMessageWithoutFingerprints(const SamReply& reply) {
    size_t lengths[3] = {};
    return reply.sw3 != 0x90 || baseMessageLengths(reply.data, 2, lengths);
}

bool baseMessageWithFingerprints(const SamReply& reply) {
    size_t lengths[3] = {};
    return reply.sw3 != 0x90 || baseMessageLengths(reply.data, 3, lengths);
}

SteadyTime earliest(SteadyTime a, SteadyTime b) { return std::min(a, b); }

}  // namespace

SamModule::SamModule(std::unique_ptr<SamLink> link, SamTimeouts timeouts)
    : link_(std::move(link)), timeouts_(timeouts) {}

SamOutcome SamModule::exchange(SamCommand command, std::chrono::milliseconds timeout,
                               SteadyTime deadline, bool (*wellFormed)(const SamReply&),
                               SamReply& reply) {
    const Bytes request = samRequest(command);
    SamFrameParser parser;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const SteadyTime now = std::chrono::steady_clock::now();
        if (now >= deadline || link_->gone()) break;
        const SteadyTime until = earliest(now + timeout, deadline);
        link_->discardInput();
        parser.reset();
        if (!link_->send(request, until)) continue;
        SteadyTime waitUntil = until;
        while (true) {
            Bytes received;
            link_->receive(received, waitUntil);
            if (received.empty()) break;  // out of time, or gone
            parser.feed(received);
            std::optional<SamReply> answer = parser.nextReply();
            if (answer && samAnswerOf(answer->sw3) != SamAnswer::kDamagedFrame &&
                wellFormed(*answer)) {
                reply = std::move(*answer);
                return SamOutcome::kRead;
            }
            // A malformed reply, or our request reached the module damaged: ask again at once
            // rather than wait out the time-out.
            if (answer) break;
            // After a damaged frame (or noise that looked like one) an intact reply may still
            // follow; once the line has been quiet a moment, ask again.
            if (parser.sawDamage()) {
                waitUntil = earliest(until, std::chrono::steady_clock::now() + kQuietAfterDamage);
            }
        }
    }
    return link_->gone() ? SamOutcome::kGone : SamOutcome::kSilent;
}

bool SamModule::answersStatus(SteadyTime deadline) {
    SamReply reply;
    return exchange(kSamStatus, timeouts_.status, deadline, anyReply, reply) == SamOutcome::kRead &&
           samAnswerOf(reply.sw3) == SamAnswer::kDone;
}

SamOutcome SamModule::readCard(SamCardData& card, SteadyTime deadline) {
    SamReply reply;
    SamOutcome outcome = exchange(kSamFindCard, timeouts_.find, deadline, anyReply, reply);
    if (outcome != SamOutcome::kRead) return outcome;
    switch (samAnswerOf(reply.sw3)) {
        case SamAnswer::kCardFound: break;
        case SamAnswer::kNoCard: return SamOutcome::kNoCard;
        default: return SamOutcome::kFailed;
    }
    outcome = exchange(kSamSelectCard, timeouts_.select, deadline, anyReply, reply);
    if (outcome != SamOutcome::kRead) return outcome;
    switch (samAnswerOf(reply.sw3)) {
        case SamAnswer::kDone: break;
        // The card left between find and select.
        case SamAnswer::kSelectFailed:
        case SamAnswer::kNoCard: return SamOutcome::kNoCard;
        default: return SamOutcome::kFailed;
    }
    if (!readBaseMessage(card, deadline, outcome)) return outcome;

    // The address endorsed on the card since it was issued; none (91), or no time left, is no
    // failure of the read.
    card.additionalAddress.clear();
    if (exchange(kSamReadAdditionalAddress, timeouts_.additionalAddress, deadline, anyReply,
                 reply) == SamOutcome::kRead &&
        samAnswerOf(reply.sw3) == SamAnswer::kDone) {
        card.additionalAddress = std::move(reply.data);
    }
    return SamOutcome::kRead;
}

bool SamModule::readBaseMessage(SamCardData& card, SteadyTime deadline, SamOutcome& outcome) {
    SamReply reply;
    bool withFingerprints = fingerprintsKnown_;
    outcome = withFingerprints ? exchange(kSamReadBaseWithFingerprints, timeouts_.read, deadline,
                                          baseMessageWithFingerprints, reply)
                               : SamOutcome::kRead;
    if (withFingerprints && outcome == SamOutcome::kRead &&
        samAnswerOf(reply.sw3) == SamAnswer::kUnknownCommand) {
        fingerprintsKnown_ = false;
        withFingerprints = false;
    }
    if (!withFingerprints && outcome == SamOutcome::kRead) {
        outcome = exchange(kSamReadBase, timeouts_.read, deadline, baseMessageWithoutFingerprints,
                           reply);
    }
    if (outcome != SamOutcome::kRead) return false;
    if (samAnswerOf(reply.sw3) != SamAnswer::kDone) {
        // Read failed (41): the card was taken off during the read, or could not be read.
        outcome = samAnswerOf(reply.sw3) == SamAnswer::kNoCard ? SamOutcome::kNoCard
                                                               : SamOutcome::kFailed;
        return false;
    }

    const size_t parts = withFingerprints ? 3 : 2;
    size_t lengths[3] = {};
    baseMessageLengths(reply.data, parts, lengths);  // checked by the exchange
    const auto text = reply.data.begin() + static_cast<std::ptrdiff_t>(2 * parts);
    const auto photo = text + static_cast<std::ptrdiff_t>(lengths[0]);
    const auto fingerprints = photo + static_cast<std::ptrdiff_t>(lengths[1]);
    // A shorter text is padded with spaces, as the card pads its fields.
    for (size_t i = 0; i < kIdCardTextBytes; i += 2) {
        card.text[i] = i < lengths[0] ? text[static_cast<std::ptrdiff_t>(i)] : 0x20;
        card.text[i + 1] = i + 1 < lengths[0] ? text[static_cast<std::ptrdiff_t>(i + 1)] : 0x00;
    }
    card.photo.assign(photo, fingerprints);
    if (card.photo.size() != kPhotoBytes) card.photo.clear();
    const size_t records = lengths[2] / kFingerprintRecordBytes;
    card.fingerprints.assign(fingerprints,
                             fingerprints + static_cast<std::ptrdiff_t>(records * kFingerprintRecordBytes));
    return true;
}

}  // namespace pictavo
