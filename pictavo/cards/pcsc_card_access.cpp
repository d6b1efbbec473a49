// Smart card readers through PC/SC.
#include "pictavo/cards/pcsc_card_access.h"

#include <winscard.h>

#include <algorithm>
#include <cctype>
#include <type_traits>

#include "pictavo/cards/answer_to_reset.h"
#include "pictavo/cards/chip_card_reader.h"

namespace pictavo {
namespace {

static_assert(sizeof(SCARDCONTEXT) <= sizeof(long), "a context fits the member that keeps it");

// The longest answer: 256 bytes of data and the status word, with room to spare.
constexpr size_t kAnswerBytes = 1024;

class PcscChannel final : public CardChannel {
  public:
    PcscChannel(SCARDHANDLE card, DWORD protocol) : card_(card), protocol_(protocol) {}

    bool transmit(const Bytes& command, Bytes& response) override {
        response.resize(kAnswerBytes);
        DWORD length = static_cast<DWORD>(response.size());
        const SCARD_IO_REQUEST* pci = usesT0() ? SCARD_PCI_T0 : SCARD_PCI_T1;
        const LONG error = SCardTransmit(card_, pci, command.data(),
                                         static_cast<DWORD>(command.size()), nullptr,
                                         response.data(), &length);
        if (error != SCARD_S_SUCCESS) {
            response.clear();
            return false;
        }
        response.resize(length);
        return true;
    }

    bool usesT0() const override { return protocol_ == SCARD_PROTOCOL_T0; }

  private:
    SCARDHANDLE card_;
    DWORD protocol_;
};

struct FoundCard {
    std::string reader;
    Bytes atr;
    bool contactless = false;
};

// The cards in the readers now, in the order they are to be tried.
LONG findCards(SCARDCONTEXT context, const std::vector<std::string>& readers, ReaderOrder order,
               std::vector<FoundCard>& cards) {
    std::vector<SCARD_READERSTATE> states(readers.size());
    for (size_t i = 0; i < readers.size(); ++i) {
        states[i].szReader = readers[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    const LONG error =
        SCardGetStatusChange(context, 0, states.data(), static_cast<DWORD>(states.size()));
    if (error != SCARD_S_SUCCESS && error != SCARD_E_TIMEOUT) return error;
    std::vector<FoundCard> present;
    std::vector<bool> contactless;
    for (size_t i = 0; i < readers.size(); ++i) {
        const DWORD state = states[i].dwEventState;
        if ((state & SCARD_STATE_PRESENT) == 0 || (state & SCARD_STATE_MUTE) != 0) continue;
        FoundCard card;
        card.reader = readers[i];
        const DWORD atrLength = std::min<DWORD>(states[i].cbAtr, sizeof states[i].rgbAtr);
        card.atr.assign(states[i].rgbAtr, states[i].rgbAtr + atrLength);
        card.contactless = isContactlessAtr(card.atr) || isContactlessReaderName(card.reader);
        contactless.push_back(card.contactless);
        present.push_back(std::move(card));
    }
    for (size_t index : cardsInOrder(contactless, order)) cards.push_back(present[index]);
    return SCARD_S_SUCCESS;
}

// A connection to one card for one read, and the transaction around it; both end with it, also
// when the read throws.
class Connection {
  public:
    explicit Connection(SCARDHANDLE card) : card_(card) {}
    ~Connection() {
        if (inTransaction_) SCardEndTransaction(card_, SCARD_LEAVE_CARD);
        SCardDisconnect(card_, SCARD_LEAVE_CARD);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The transaction keeps other programs from coming between the commands of this read.
    bool beginTransaction() {
        inTransaction_ = SCardBeginTransaction(card_) == SCARD_S_SUCCESS;
        return inTransaction_;
    }

  private:
    SCARDHANDLE card_;
    bool inTransaction_ = false;
};

bool cardWentAway(LONG error) {
    return error == SCARD_E_NO_SMARTCARD || error == SCARD_W_REMOVED_CARD ||
           error == SCARD_E_READER_UNAVAILABLE || error == SCARD_E_UNKNOWN_READER;
}

}  // namespace

PcscCardAccess::~PcscCardAccess() { dropContext(); }

void PcscCardAccess::dropContext() {
    if (haveContext_) SCardReleaseContext(static_cast<SCARDCONTEXT>(context_));
    haveContext_ = false;
}

long PcscCardAccess::listReaders(std::vector<std::string>& names) {
    names.clear();
    LONG error = SCARD_S_SUCCESS;
    // A second try with a new context: the service may have restarted since the last read.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!haveContext_) {
            SCARDCONTEXT context = 0;
            error = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
            if (error != SCARD_S_SUCCESS) return error;
            context_ = static_cast<long>(context);
            haveContext_ = true;
        }
        const auto context = static_cast<SCARDCONTEXT>(context_);
        DWORD length = 0;
        error = SCardListReaders(context, nullptr, nullptr, &length);
        std::vector<char> buffer;
        if (error == SCARD_S_SUCCESS) {
            buffer.resize(length);
            error = SCardListReaders(context, nullptr, buffer.data(), &length);
        }
        if (error == SCARD_S_SUCCESS) {
            // A multi-string: names ending in a zero, the list in a second zero.
            for (size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
                names.emplace_back(&buffer[at]);
                at += names.back().size() + 1;
            }
            return SCARD_S_SUCCESS;
        }
        if (searchEndOf(error) != CardSearch::kNoService) return error;
        dropContext();
    }
    return error;
}

CardSearch PcscCardAccess::readCard(ReaderOrder order, const Read& read) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> readers;
    if (const LONG error = listReaders(readers); error != SCARD_S_SUCCESS) {
        return searchEndOf(error);
    }
    if (readers.empty()) return CardSearch::kNoReader;
    const auto context = static_cast<SCARDCONTEXT>(context_);
    std::vector<FoundCard> cards;
    if (const LONG error = findCards(context, readers, order, cards); error != SCARD_S_SUCCESS) {
        return searchEndOf(error);
    }
    bool reached = false;
    for (const FoundCard& found : cards) {
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        const LONG error = SCardConnect(context, found.reader.c_str(), SCARD_SHARE_SHARED,
                                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
        if (error != SCARD_S_SUCCESS) {
            // Taken out since the look, or there but not answering (held exclusively, mute).
            reached = reached || !cardWentAway(error);
            continue;
        }
        reached = true;
        Connection connection(card);
        if (!connection.beginTransaction()) continue;
        PcscChannel channel(card, protocol);
        if (read(InsertedCard{channel, found.atr, found.contactless})) return CardSearch::kRead;
    }
    return reached ? CardSearch::kUnreadable : CardSearch::kNoCard;
}

CardSearch searchEndOf(long pcscError) {
    switch (pcscError) {
        case SCARD_E_NO_READERS_AVAILABLE:
        case SCARD_E_UNKNOWN_READER:
        case SCARD_E_READER_UNAVAILABLE:
            return CardSearch::kNoReader;
        case SCARD_E_NO_SMARTCARD:
        case SCARD_W_REMOVED_CARD:
        case SCARD_E_TIMEOUT:
            return CardSearch::kNoCard;
        default:
            // SCARD_E_NO_SERVICE, SCARD_E_SERVICE_STOPPED, a stale context (SCARD_E_INVALID_HANDLE),
            // a broken connection to the service (SCARD_F_COMM_ERROR) and anything unforeseen.
            return CardSearch::kNoService;
    }
}

bool isContactlessReaderName(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("picc") != std::string::npos ||
           lower.find("contactless") != std::string::npos;
}

void putSmartCardReadersInFront(const TerminalSettings& terminal,
                                std::unique_ptr<CardReader>& cardReader,
                                std::unique_ptr<IcCardReader>& icCardReader) {
    auto access = std::make_shared<PcscCardAccess>();
    if (!cardReader) cardReader = std::make_unique<NoCardReader>();
    if (!icCardReader) icCardReader = std::make_unique<NoIcCardReader>();
    cardReader = std::make_unique<ChipCardReader>(access, terminal, std::move(cardReader));
    icCardReader = std::make_unique<ChipIcCardReader>(access, terminal, std::move(icCardReader));
}

}  // namespace pictavo
