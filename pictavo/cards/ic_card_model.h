// The simulated IC card: files that writes change and reads give back, a PIN with a retry
// counter, a balance that debits lower and a record of the last debits, and the HSM sessions
// that link the steps of a split operation. Answers are texts, the only thing a caller sees:
//   "OK" or "OK|<payload>"          the card did it (status kOk)
//   "ERR|<reason>[|<detail>]"       the card refused (status kFailed)
// except the basic data, which is the text social-security terminals use, as a real card gives.
// pictavo/README.md lists every answer.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/ic_card.h"

namespace pictavo {

// Not thread-safe: the reader that owns it runs one operation at a time.
class IcCardModel {
  public:
    // What the holder types at a PIN prompt; "" means the holder cancelled.
    using PinPad = std::function<std::string()>;
    // Makes the token that links one HSM step to the next.
    using TokenSource = std::function<std::string()>;

    // How many debits the card remembers; older ones drop out.
    static constexpr size_t kDebitRecords = 10;

    // `terminal` gives the terminal numbers the basic data ends with.
    IcCardModel(IcCardSettings card, TokenSource tokens, TerminalSettings terminal = {});

    // Runs one operation; returns kOk or kFailed with `answer` set either way.
    int run(IcOperation operation, const IcRequest& request, const PinPad& pinPad,
            std::string& answer);

    int64_t balance() const { return balance_; }
    int pinTriesLeft() const { return triesLeft_; }

  private:
    struct Debit {
        uint32_t sequence;
        int64_t amount;
        int64_t balanceAfter;
        std::string merchant;
    };
    // The operation step 1 (or 2) began, waiting for its next step.
    struct Session {
        IcOperation next;
        std::string token;
        IcRequest request;
    };
    struct Payment {
        int64_t amount = 0;
        std::string merchant;
    };

    int perform(IcOperation operation, const IcRequest& request, const PinPad& pinPad,
                std::string& answer);
    int beginSession(IcOperation next, const IcRequest& request, std::string& answer);

    std::string basicData() const;
    bool namesThisCard(const std::string& cardInfo) const;
    // The file at the request's address, or a refusal in `answer`.
    std::string* findFile(const IcRequest& request, std::string& answer);
    int refuseWrongPin(std::string& answer);
    int checkPayment(const IcRequest& request, Payment& payment, std::string& answer) const;
    int debit(const Payment& payment, std::string& answer);
    int setNewPin(const PinPad& pinPad, std::string& answer);

    const IcCardSettings card_;
    const TerminalSettings terminal_;
    TokenSource tokens_;
    std::map<std::string, std::string> files_;
    std::string pin_;
    int triesLeft_;
    bool pinVerified_ = false;
    int64_t balance_;
    uint32_t lastSequence_ = 0;
    std::deque<Debit> debits_;  // newest first
    std::optional<Session> session_;
};

}  // namespace pictavo
