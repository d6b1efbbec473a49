// The library's card channel onto a model card, which can be pulled out after a number of
// commands.
#pragma once

#include "model_cards.h"
#include "pictavo/cards/apdu_session.h"

namespace pictavo::testing {

class ModelChannel final : public CardChannel {
  public:
    explicit ModelChannel(cardmodels::ModelCard& card, int commandsBeforeRemoval = -1)
        : card_(card), left_(commandsBeforeRemoval) {}

    bool transmit(const Bytes& command, Bytes& response) override {
        if (left_ == 0) return false;
        if (left_ > 0) --left_;
        response = card_.answer(command);
        return true;
    }
    bool usesT0() const override { return card_.t0; }

  private:
    cardmodels::ModelCard& card_;
    int left_;
};

}  // namespace pictavo::testing
