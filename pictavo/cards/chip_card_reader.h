// Real chip cards in front of the readers behind them: a bank or social-security card present in
// one of the computer's smart card readers answers first; only when no reader holds a card does
// the next reader (the simulated one, or none) answer. A real card that cannot give what was
// asked fails the read: it never falls back to simulated data.
#pragma once

#include <memory>

#include "pictavo/cards/card_reader.h"
#include "pictavo/cards/card_settings.h"
#include "pictavo/cards/ic_card.h"
#include "pictavo/cards/smart_card_access.h"

namespace pictavo {

// Starting and stopping, the ID card and the magnetic stripe belong to the next reader.
class ChipCardReader final : public ForwardingCardReader {
  public:
    ChipCardReader(std::shared_ptr<SmartCardAccess> cards, TerminalSettings terminal,
                   std::unique_ptr<CardReader> next);

    // Social-security number, name, sex, ethnicity, region and card number, in record order.
    int readSocialCard(SocialCardRecord& record) override;
    int readBankCard(BankCardText& text) override;

  private:
    std::shared_ptr<SmartCardAccess> cards_;
    const TerminalSettings terminal_;
};

// The basic data of a social-security card in a reader (CamReadCardBas); every other operation
// needs the card issuer's security module, so on a real card it fails with an empty answer.
class ChipIcCardReader final : public IcCardReader {
  public:
    ChipIcCardReader(std::shared_ptr<SmartCardAccess> cards, TerminalSettings terminal,
                     std::unique_ptr<IcCardReader> next);

    int run(IcOperation operation, const IcRequest& request, std::string& out) override;

  private:
    std::shared_ptr<SmartCardAccess> cards_;
    const TerminalSettings terminal_;
    std::unique_ptr<IcCardReader> next_;
};

// Where an IC card operation's iType looks: 1 contact, 2 contactless, 3 (and 0) either with
// contact first, 4 either with contactless first. False for any other value.
bool readerOrderOf(int type, ReaderOrder& order);

// When no real card was reached, the next reader answers; a next reader that has no device
// while a smart card reader was there answers as an empty reader does (kFailed).
int answerOfNext(CardSearch search, int nextStatus);

}  // namespace pictavo
