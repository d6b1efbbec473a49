// An IC card reader with a PIN pad and the simulated card in it.
#pragma once

#include <mutex>
#include <random>
#include <string>

#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/ic_card.h"
#include "pictavo/cards/ic_card_model.h"

namespace pictavo {

class SimulatedIcCardReader final : public IcCardReader {
  public:
    explicit SimulatedIcCardReader(IcCardSettings card, TerminalSettings terminal = {});

    // Answers kOk or kFailed, with the card's answer text in `out` either way.
    int run(IcOperation operation, const IcRequest& request, std::string& out) override;

  private:
    // The next entry of the configured PIN pad sequence; the last one repeats.
    std::string typePin();
    // Sixteen hexadecimal digits nobody can guess, linking one HSM step to the next.
    std::string newToken();

    std::mutex mutex_;  // one operation at a time, as on a real reader
    std::vector<std::string> pinPad_;
    size_t pinPadNext_ = 0;
    std::mt19937_64 random_;
    IcCardModel card_;
};

}  // namespace pictavo
