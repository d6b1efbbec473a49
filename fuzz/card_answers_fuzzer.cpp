// What a chip card answers is input from outside like any other: a card (or a reader) may send
// anything. The bank card and social-security card readers talk to a model card whose answers
// the fuzzer keeps, bends or replaces, command by command; whatever comes back, the reads must
// stay in bounds and give only well-formed results.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "model_cards.h"
#include "pictavo/cards/emv_card.h"
#include "pictavo/cards/social_security_card.h"
#include "pictavo/status.h"

namespace {

using lenvaro::fuzzing::FuzzInput;

class FuzzedCard final : public pictavo::CardChannel {
  public:
    FuzzedCard(cardmodels::ModelCard& card, FuzzInput& input) : card_(card), input_(input) {}

    bool transmit(const pictavo::Bytes& command, pictavo::Bytes& response) override {
        response = card_.answer(command);
        if (input_.empty()) return true;  // the rest of the conversation as the card has it
        switch (input_.pick(6)) {
            case 0:  // the card is pulled out
                return false;
            case 1: {  // bytes of the answer changed
                for (size_t n = input_.pick(4) + 1; n > 0 && !response.empty(); --n) {
                    response[input_.pick(response.size())] ^= input_.byte();
                }
                return true;
            }
            case 2: {  // another answer altogether
                const std::string bytes = input_.bytes(input_.byte() + input_.pick(2) * 256);
                response.assign(bytes.begin(), bytes.end());
                return true;
            }
            case 3:  // cut short
                response.resize(input_.pick(response.size() + 1));
                return true;
            default:
                return true;
        }
    }
    bool usesT0() const override { return card_.t0; }

  private:
    cardmodels::ModelCard& card_;
    FuzzInput& input_;
};

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const bool t0 = input.byte() & 1;
    const bool contactless = input.byte() & 1;

    cardmodels::EmvCardOptions bank;
    bank.t0 = t0;
    bank.contactless = contactless;
    bank.format2 = input.byte() & 1;
    cardmodels::ModelCard bankCard = cardmodels::emvCard(bank);
    FuzzedCard bankChannel(bankCard, input);
    pictavo::ApduSession bankSession(bankChannel);
    std::string number;
    if (pictavo::readEmvCardNumber(bankSession, contactless, pictavo::EmvTerminalData(), number) ==
        pictavo::kOk) {
        check(number.size() >= 12 && number.size() <= 19);
        check(number.find_first_not_of("0123456789") == std::string::npos);
    }

    cardmodels::SocialCardOptions social;
    social.t0 = t0;
    cardmodels::ModelCard socialCard = cardmodels::socialSecurityCard(social);
    FuzzedCard socialChannel(socialCard, input);
    pictavo::ApduSession socialSession(socialChannel);
    pictavo::SocialSecurityCard read;
    if (pictavo::readSocialSecurityCard(socialSession, read) == pictavo::kOk) {
        check(read.cardCode.size() == 32);
        check(read.cardNumber.find('|') == std::string::npos);
        check(read.name.find('|') == std::string::npos);
        check(read.issueDate.empty() || read.issueDate.size() == 8);
    }
    return 0;
}
