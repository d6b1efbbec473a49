// Real chip cards in front of the readers behind them.
#include "pictavo/cards/chip_card_reader.h"

#include <utility>

#include "pictavo/cards/answer_to_reset.h"
#include "pictavo/cards/emv_card.h"
#include "pictavo/cards/social_security_card.h"
#include "pictavo/recognition/locale_text.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

// Writes `utf8` as UTF-16LE units from `byteOffset`, cut to leave room for the zero unit.
template <size_t N>
void putText(std::array<uint8_t, N>& record, size_t byteOffset, size_t widthUnits,
             const std::string& utf8) {
    std::u16string units = utf8ToUtf16(utf8);
    if (units.size() >= widthUnits) units.resize(widthUnits - 1);
    for (size_t i = 0; i < units.size(); ++i) {
        record[byteOffset + 2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
        record[byteOffset + 2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
}

// Room for the longest answer the caller's buffer takes; it cuts the answer to its own size.
constexpr size_t kMaxAnswerBytes = 4096;

}  // namespace

std::vector<size_t> cardsInOrder(const std::vector<bool>& contactless, ReaderOrder order) {
    std::vector<size_t> first;
    std::vector<size_t> then;
    const bool contactlessFirst =
        order == ReaderOrder::kContactlessFirst || order == ReaderOrder::kContactlessOnly;
    for (size_t i = 0; i < contactless.size(); ++i) {
        if (contactless[i] == contactlessFirst) {
            first.push_back(i);
        } else if (order == ReaderOrder::kContactFirst ||
                   order == ReaderOrder::kContactlessFirst) {
            then.push_back(i);
        }
    }
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

bool readerOrderOf(int type, ReaderOrder& order) {
    switch (type) {
        case 0:
        case 3:
            order = ReaderOrder::kContactFirst;
            return true;
        case 1:
            order = ReaderOrder::kContactOnly;
            return true;
        case 2:
            order = ReaderOrder::kContactlessOnly;
            return true;
        case 4:
            order = ReaderOrder::kContactlessFirst;
            return true;
        default:
            order = ReaderOrder::kContactFirst;
            return false;
    }
}

int answerOfNext(CardSearch search, int nextStatus) {
    if (nextStatus == kNoDevice && search == CardSearch::kNoCard) return kFailed;
    return nextStatus;
}

ChipCardReader::ChipCardReader(std::shared_ptr<SmartCardAccess> cards, TerminalSettings terminal,
                               std::unique_ptr<CardReader> next)
    : ForwardingCardReader(std::move(next)), cards_(std::move(cards)), terminal_(std::move(terminal)) {}

int ChipCardReader::readSocialCard(SocialCardRecord& record) {
    SocialSecurityCard card;
    const CardSearch search =
        cards_->readCard(ReaderOrder::kContactFirst, [&](const InsertedCard& inserted) {
            ApduSession session(inserted.channel);
            return readSocialSecurityCard(session, card) == kOk;
        });
    if (search == CardSearch::kUnreadable) return kFailed;
    if (search != CardSearch::kRead) return answerOfNext(search, next().readSocialCard(record));
    record.fill(0);
    const std::string fields[6] = {card.socialNumber,
                                   card.name,
                                   sexName(card.sexCode),
                                   ethnicityName(card.ethnicityCode),
                                   card.region(),
                                   card.cardNumber};
    for (size_t i = 0; i < 6; ++i) {
        putText(record, kSocialCardFieldOffsets[i], kSocialCardFieldWidths[i], fields[i]);
    }
    return kOk;
}

int ChipCardReader::readBankCard(BankCardText& text) {
    std::string number;
    const CardSearch search =
        cards_->readCard(ReaderOrder::kContactFirst, [&](const InsertedCard& inserted) {
            ApduSession session(inserted.channel);
            const EmvTerminalData terminal = emvTerminalDataNow(
                static_cast<uint16_t>(terminal_.countryCode),
                static_cast<uint16_t>(terminal_.currencyCode));
            return readEmvCardNumber(session, inserted.contactless, terminal, number) == kOk;
        });
    if (search == CardSearch::kUnreadable) return kFailed;
    if (search != CardSearch::kRead) return answerOfNext(search, next().readBankCard(text));
    text.fill(0);
    putText(text, 0, kBankCardNumberUnits + 1, number);
    return kOk;
}

ChipIcCardReader::ChipIcCardReader(std::shared_ptr<SmartCardAccess> cards,
                                   TerminalSettings terminal, std::unique_ptr<IcCardReader> next)
    : cards_(std::move(cards)), terminal_(std::move(terminal)), next_(std::move(next)) {}

int ChipIcCardReader::run(IcOperation operation, const IcRequest& request, std::string& out) {
    ReaderOrder order = ReaderOrder::kContactFirst;
    const bool knownType = readerOrderOf(request.type, order);
    std::string text;
    // Only the basic data can be read from a real card; for everything else the search only
    // tells whether a real card is there, which then answers (with a failure) rather than the
    // simulated one.
    const CardSearch search = cards_->readCard(order, [&](const InsertedCard& inserted) {
        if (operation != IcOperation::kReadBasic || !knownType) return false;
        ApduSession session(inserted.channel);
        SocialSecurityCard card;
        if (readSocialSecurityCard(session, card) != kOk) return false;
        BasicDataFields fields;
        fields.region = card.region();
        fields.socialNumber = card.socialNumber;
        fields.cardNumber = card.cardNumber;
        fields.cardCode = card.cardCode;
        fields.name = card.name;
        fields.historicalBytes = hexText(historicalBytes(inserted.atr).value_or(Bytes()));
        fields.version = card.version;
        fields.issueDate = card.issueDate;
        fields.expiryDate = card.expiryDate;
        fields.terminalNumber = terminal_.number;
        fields.terminalDeviceNumber = terminal_.deviceNumber;
        text = basicDataText(fields);
        return true;
    });
    if (search == CardSearch::kRead) {
        out = toInterfaceText(text, kMaxAnswerBytes);
        return kOk;
    }
    if (search == CardSearch::kUnreadable) {
        out.clear();
        return kFailed;
    }
    return answerOfNext(search, next_->run(operation, request, out));
}

}  // namespace pictavo
