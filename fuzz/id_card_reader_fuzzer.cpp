// What an ID card reader's security module sends is input from outside like any other: the
// frame parser, a whole card read over a line that brings the fuzzer's bytes in the fuzzer's
// pieces, and the card layouts must stay in bounds and give only clean fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/id_card_text.h"
#include "pictavo/cards/sam_frames.h"
#include "pictavo/cards/sam_module.h"

namespace {

using lenvaro::fuzzing::FuzzInput;

void check(bool condition) {
    if (!condition) std::abort();
}

// Every request is taken; what comes back is the fuzzer's, a piece at a time, and the line
// goes quiet (a time-out) when the input ends.
class FuzzedLine final : public pictavo::SamLink {
  public:
    explicit FuzzedLine(FuzzInput& input) : input_(input) {}
    bool send(const pictavo::Bytes&, pictavo::SteadyTime) override { return true; }
    void receive(pictavo::Bytes& received, pictavo::SteadyTime) override {
        const std::string piece = input_.bytes(input_.byte() + input_.pick(4) * 256);
        received.insert(received.end(), piece.begin(), piece.end());
    }
    void discardInput() override {}
    bool gone() const override { return false; }

  private:
    FuzzInput& input_;
};

void checkClean(const std::array<std::u16string, 9>& fields) {
    for (const std::u16string& field : fields) {
        for (char16_t unit : field) check(unit != u'|' && unit >= 0x20 && (unit < 0x7F || unit > 0x9F));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const int mode = input.pick(3);
    if (mode == 0) {
        pictavo::SamFrameParser parser;
        while (!input.empty()) {
            parser.feed(pictavo::samFrame({}));  // frames of its own between the fuzzer's bytes
            const std::string piece = input.shortBytes();
            parser.feed(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
            while (std::optional<pictavo::SamReply> reply = parser.nextReply()) {
                check(reply->data.size() + 4 <= pictavo::kSamMaxFrameLength);
            }
        }
    } else if (mode == 1) {
        pictavo::SamModule module(std::make_unique<FuzzedLine>(input));
        pictavo::SamCardData card;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
        if (module.readCard(card, deadline) == pictavo::SamOutcome::kRead) {
            check(card.photo.empty() || card.photo.size() == 1024);
            check(card.fingerprints.size() % 512 == 0 && card.fingerprints.size() <= 1024);
            checkClean(pictavo::idCardFields(card.text.data()));
        }
    } else {
        std::string text = input.bytes(pictavo::kIdCardTextBytes);
        text.resize(pictavo::kIdCardTextBytes, ' ');
        const auto fields = pictavo::idCardFields(reinterpret_cast<const uint8_t*>(text.data()));
        checkClean(fields);
        pictavo::IdCardRecord record;
        pictavo::putIdCardFields(record, fields);
        for (size_t i = 0; i < 9; ++i) {
            const size_t end = pictavo::kIdCardFieldOffsets[i] + 2 * pictavo::kIdCardFieldWidths[i];
            check(record[end - 2] == 0 && record[end - 1] == 0);  // every field ends in its width
        }
    }
    return 0;
}
