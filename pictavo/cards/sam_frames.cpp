// Building and parsing the security module's frames.
#include "pictavo/cards/sam_frames.h"

#include <algorithm>
#include <iterator>

#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr size_t kPreambleSize = sizeof kSamPreamble;
uint8_t checksumOf(const uint8_t* bytes, size_t size) {
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum ^= bytes[i];
    return sum;
}

// Where the next preamble starts at or after `from`; the buffer's size when there is none.
size_t findPreamble(const Bytes& buffer, size_t from) {
    const auto found = std::search(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                                   std::begin(kSamPreamble), std::end(kSamPreamble));
    return static_cast<size_t>(found - buffer.begin());
}

enum class FrameAt { kWhole, kIncomplete, kDamaged };

FrameAt frameAt(const Bytes& buffer, size_t start, size_t minLength, size_t& length) {
    const size_t header = start + kPreambleSize;
    if (buffer.size() < header + 2) return FrameAt::kIncomplete;
    length = static_cast<size_t>(buffer[header]) << 8 | buffer[header + 1];
    if (length < minLength || length > kSamMaxFrameLength) return FrameAt::kDamaged;
    if (buffer.size() < header + 2 + length) return FrameAt::kIncomplete;
    const uint8_t expected = checksumOf(&buffer[header], 2 + length - 1);
    return expected == buffer[header + 2 + length - 1] ? FrameAt::kWhole : FrameAt::kDamaged;
}

}  // namespace

Bytes samFrame(const Bytes& body) {
    Bytes frame(std::begin(kSamPreamble), std::end(kSamPreamble));
    const size_t length = body.size() + 1;
    frame.push_back(static_cast<uint8_t>(length >> 8));
    frame.push_back(static_cast<uint8_t>(length));
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(checksumOf(&frame[kPreambleSize], frame.size() - kPreambleSize));
    return frame;
}

Bytes samRequest(SamCommand command, const Bytes& data) {
    Bytes body{command.command, command.parameter};
    body.insert(body.end(), data.begin(), data.end());
    return samFrame(body);
}

void SamFrameParser::feed(const uint8_t* bytes, size_t size) {
    buffer_.insert(buffer_.end(), bytes, bytes + size);
}

std::optional<Bytes> SamFrameParser::next() {
    // The first frame that has not ended yet, when one has: everything from there is kept.
    size_t keepFrom = buffer_.size();
    for (size_t start = findPreamble(buffer_, 0); start < buffer_.size();
         start = findPreamble(buffer_, start + 1)) {
        size_t length = 0;
        switch (frameAt(buffer_, start, minBodySize_ + 1, length)) {
            case FrameAt::kWhole: {
                const auto body = buffer_.begin() + static_cast<std::ptrdiff_t>(start + kPreambleSize + 2);
                Bytes frameBody(body, body + static_cast<std::ptrdiff_t>(length - 1));
                buffer_.erase(buffer_.begin(), body + static_cast<std::ptrdiff_t>(length));
                return frameBody;
            }
            case FrameAt::kDamaged:
                sawDamage_ = true;
                break;
            case FrameAt::kIncomplete:
                keepFrom = std::min(keepFrom, start);
                break;
        }
    }
    // Only an unfinished frame, or the tail that may become a preamble, is worth keeping.
    const size_t tail = buffer_.size() >= kPreambleSize - 1 ? buffer_.size() - (kPreambleSize - 1) : 0;
    const size_t dropUpTo = std::min(keepFrom, tail);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(dropUpTo));
    return std::nullopt;
}

std::optional<SamReply> SamFrameParser::nextReply() {
    std::optional<Bytes> body = next();
    if (!body || body->size() < 3) return std::nullopt;
    SamReply reply;
    reply.sw1 = (*body)[0];
    reply.sw2 = (*body)[1];
    reply.sw3 = (*body)[2];
    reply.data.assign(body->begin() + 3, body->end());
    return reply;
}

void SamFrameParser::reset() {
    buffer_.clear();
    sawDamage_ = false;
}

SamAnswer samAnswerOf(uint8_t sw3) {
    switch (sw3) {
        case 0x90: return SamAnswer::kDone;
        case 0x9F: return SamAnswer::kCardFound;
        case 0x80: return SamAnswer::kNoCard;
        case 0x81: return SamAnswer::kSelectFailed;
        case 0x41: return SamAnswer::kReadFailed;
        case 0x91: return SamAnswer::kNothingThere;
        case 0x10:
        case 0x11: return SamAnswer::kDamagedFrame;
        case 0x21: return SamAnswer::kUnknownCommand;
        case 0x23:
        case 0x24:
        case 0x31:
        case 0x32:
        case 0x33:
        case 0x40:
        case 0x47:
        case 0x60:
        case 0x66: return SamAnswer::kModuleFault;
        default: return SamAnswer::kUnexpected;
    }
}

int samStatusOf(SamAnswer answer) {
    switch (answer) {
        case SamAnswer::kDone:
        case SamAnswer::kCardFound:
        case SamAnswer::kNothingThere: return kOk;
        case SamAnswer::kUnknownCommand: return kNotSupported;
        default: return kFailed;
    }
}

}  // namespace pictavo
