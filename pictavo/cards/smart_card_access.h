// The chip cards in the computer's smart card readers (contact and contactless), as the card
// reader families see them: look for a card where the caller prefers, and read it.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "pictavo/cards/apdu_session.h"

namespace pictavo {

// Which readers to look in, in which order. Within one kind, readers keep the system's order.
enum class ReaderOrder { kContactFirst, kContactlessFirst, kContactOnly, kContactlessOnly };

// The card a read works on.
struct InsertedCard {
    CardChannel& channel;
    const Bytes& atr;
    bool contactless;
};

// How a search for a card ended.
enum class CardSearch {
    kNoService,   // the smart card service is not running
    kNoReader,    // no reader attached
    kNoCard,      // readers, but none holds a card (of the kind asked for)
    kRead,        // a card was read
    kUnreadable,  // cards were there, none gave what was asked, or the card went away
};

// Thread-safe: reads run one at a time.
class SmartCardAccess {
  public:
    // Returns true when the card gave what the read wanted.
    using Read = std::function<bool(const InsertedCard&)>;

    virtual ~SmartCardAccess() = default;
    // Looks at the readers as they are now (a reader plugged in since is found, one unplugged
    // is forgotten) and runs `read` on each card present, in `order`, until one succeeds.
    virtual CardSearch readCard(ReaderOrder order, const Read& read) = 0;
};

// The cards to try for `order`, as indices into `contactless` (which says of each card found,
// in the system's order, whether it sits on a contactless reader).
std::vector<size_t> cardsInOrder(const std::vector<bool>& contactless, ReaderOrder order);

}  // namespace pictavo
