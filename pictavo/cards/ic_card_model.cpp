// The simulated IC card's behaviour.
#include "pictavo/cards/ic_card_model.h"

#include <algorithm>
#include <utility>

#include "pictavo/cards/social_security_card.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

int ok(std::string& answer, const std::string& payload = "") {
    answer = payload.empty() ? "OK" : "OK|" + payload;
    return kOk;
}

int refuse(std::string& answer, const std::string& reason, const std::string& detail = "") {
    answer = "ERR|" + reason + (detail.empty() ? "" : "|" + detail);
    return kFailed;
}

// The steps that continue a session rather than start something.
bool continuesSession(IcOperation operation) {
    switch (operation) {
        case IcOperation::kReadBasicStep2:
        case IcOperation::kReadStep2:
        case IcOperation::kWriteStep2:
        case IcOperation::kReloadPinStep2:
        case IcOperation::kUnblockPinStep2:
        case IcOperation::kUnblockPinStep3:
        case IcOperation::kDebitStep2:
            return true;
        default:
            return false;
    }
}

// 0 lets the reader choose, 1 is the contact interface, 2 the contactless one, 3 either (contact
// first), 4 either (contactless first).
bool knownType(int type) { return type >= 0 && type <= 4; }

// The historical bytes of the simulated card's answer to reset.
constexpr const char* kHistoricalBytes = "0031C0649000";

bool isPinText(const std::string& pin) {
    return pin.size() >= 4 && pin.size() <= 12 &&
           pin.find_first_not_of("0123456789") == std::string::npos;
}

bool isAddress(const std::string& address) {
    if (address.empty() || address.size() > 32) return false;
    for (char c : address) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                             (c >= '0' && c <= '9') || c == '/' || c == '_' || c == '.' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

// The page may hand back the whole step answer ("OK|<token>") or the token alone.
bool keyMatches(const std::string& key, const std::string& token) {
    return key == token || key == "OK|" + token;
}

constexpr size_t kMerchantBytes = 40;

}  // namespace

IcCardModel::IcCardModel(IcCardSettings card, TokenSource tokens, TerminalSettings terminal)
    : card_(std::move(card)),
      terminal_(std::move(terminal)),
      tokens_(std::move(tokens)),
      files_(card_.files),
      pin_(card_.pin),
      triesLeft_(card_.pinTries),
      balance_(card_.balance) {}

int IcCardModel::run(IcOperation operation, const IcRequest& request, const PinPad& pinPad,
                     std::string& answer) {
    // Whatever comes next ends a pending session, as a real card forgets its challenge after any
    // other command; only the step it waits for, with the right key, takes it up.
    std::optional<Session> session = std::move(session_);
    session_.reset();
    if (!card_.present) return refuse(answer, "NO_CARD");
    if (!continuesSession(operation)) {
        if (!knownType(request.type)) return refuse(answer, "BAD_TYPE");
        return perform(operation, request, pinPad, answer);
    }
    if (!session || session->next != operation) return refuse(answer, "NO_SESSION");
    if (!keyMatches(request.key, session->token)) return refuse(answer, "BAD_KEY");
    IcRequest continued = std::move(session->request);
    continued.key = request.key;
    continued.writeData = request.writeData;
    return perform(operation, continued, pinPad, answer);
}

int IcCardModel::beginSession(IcOperation next, const IcRequest& request, std::string& answer) {
    Session session{next, tokens_(), request};
    const std::string token = session.token;
    session_ = std::move(session);
    return ok(answer, token);
}

int IcCardModel::perform(IcOperation operation, const IcRequest& request, const PinPad& pinPad,
                         std::string& answer) {
    using Op = IcOperation;
    // Everything but the basic data, the PIN pad operations and the debit record names the card
    // it expects in pCardInfo (step 1 checked it for the later steps).
    switch (operation) {
        case Op::kRead:
        case Op::kReadStep1:
        case Op::kWrite:
        case Op::kWriteStep1:
        case Op::kReloadPin:
        case Op::kReloadPinStep1:
        case Op::kUnblockPin:
        case Op::kUnblockPinStep1:
        case Op::kDebit:
        case Op::kDebitStep1:
            if (!namesThisCard(request.cardInfo)) return refuse(answer, "WRONG_CARD");
            break;
        default:
            break;
    }

    switch (operation) {
        case Op::kReadBasic:
        case Op::kReadBasicStep2:
            answer = basicData();
            return kOk;
        case Op::kReadBasicStep1:
            return beginSession(Op::kReadBasicStep2, request, answer);

        case Op::kRead: {
            if (request.authType != 0 && request.authType != 1) {
                return refuse(answer, "BAD_AUTH_TYPE");
            }
            if (request.authType == 1 && !pinVerified_) return refuse(answer, "PIN_REQUIRED");
            const std::string* file = findFile(request, answer);
            return file == nullptr ? kFailed : ok(answer, *file);
        }
        case Op::kReadStep1:
        case Op::kWriteStep1:
            if (findFile(request, answer) == nullptr) return kFailed;
            return beginSession(operation == Op::kReadStep1 ? Op::kReadStep2 : Op::kWriteStep2,
                                request, answer);
        case Op::kReadStep2: {
            const std::string* file = findFile(request, answer);
            return file == nullptr ? kFailed : ok(answer, *file);
        }
        case Op::kWrite:
        case Op::kWriteStep2: {
            std::string* file = findFile(request, answer);
            if (file == nullptr) return kFailed;
            if (request.writeData.size() > kIcCardFileBytes) {
                return refuse(answer, "TOO_LONG", std::to_string(kIcCardFileBytes));
            }
            *file = request.writeData;
            return ok(answer, std::to_string(request.writeData.size()));
        }

        case Op::kVerifyPin: {
            if (triesLeft_ == 0) return refuse(answer, "PIN_BLOCKED");
            const std::string typed = pinPad();
            if (typed.empty()) return refuse(answer, "CANCELLED");
            if (typed != pin_) return refuseWrongPin(answer);
            triesLeft_ = card_.pinTries;
            pinVerified_ = true;
            return ok(answer);
        }
        case Op::kChangePin: {
            if (triesLeft_ == 0) return refuse(answer, "PIN_BLOCKED");
            const std::string old = pinPad();
            if (old.empty()) return refuse(answer, "CANCELLED");
            if (old != pin_) return refuseWrongPin(answer);
            triesLeft_ = card_.pinTries;
            return setNewPin(pinPad, answer);
        }
        case Op::kReloadPin:
        case Op::kReloadPinStep2:
            return setNewPin(pinPad, answer);
        case Op::kReloadPinStep1:
            return beginSession(Op::kReloadPinStep2, request, answer);
        case Op::kUnblockPin:
        case Op::kUnblockPinStep3:
            triesLeft_ = card_.pinTries;
            pinVerified_ = false;
            return ok(answer);
        case Op::kUnblockPinStep1:
            return beginSession(Op::kUnblockPinStep2, request, answer);
        case Op::kUnblockPinStep2:
            return beginSession(Op::kUnblockPinStep3, request, answer);

        case Op::kDebit:
        case Op::kDebitStep2: {
            Payment payment;
            if (checkPayment(request, payment, answer) != kOk) return kFailed;
            return debit(payment, answer);
        }
        case Op::kDebitStep1: {
            Payment payment;
            if (checkPayment(request, payment, answer) != kOk) return kFailed;
            return beginSession(Op::kDebitStep2, request, answer);
        }
        case Op::kReadDebitRecord: {
            std::string list = std::to_string(balance_) + "|" + std::to_string(debits_.size());
            for (const Debit& entry : debits_) {
                list += "|" + std::to_string(entry.sequence) + "," + std::to_string(entry.amount) +
                        "," + std::to_string(entry.balanceAfter) + "," + entry.merchant;
            }
            return ok(answer, list);
        }
    }
    return refuse(answer, "NOT_SUPPORTED");
}

std::string IcCardModel::basicData() const {
    BasicDataFields fields;
    fields.region = card_.issuer;
    fields.socialNumber = card_.socialNumber;
    fields.cardNumber = card_.number;
    fields.cardCode = card_.cardCode;
    fields.name = card_.holder;
    fields.historicalBytes = kHistoricalBytes;
    fields.version = card_.version;
    fields.issueDate = card_.validFrom;
    fields.expiryDate = card_.validUntil;
    fields.terminalNumber = terminal_.number;
    fields.terminalDeviceNumber = terminal_.deviceNumber;
    return basicDataText(fields);
}

// pCardInfo names the card when one of its "|"-separated fields is the card's number, so the
// basic data as read (with or without its "OK|") and the bare number all do.
bool IcCardModel::namesThisCard(const std::string& cardInfo) const {
    size_t start = 0;
    while (start <= cardInfo.size()) {
        const size_t end = std::min(cardInfo.find('|', start), cardInfo.size());
        if (cardInfo.compare(start, end - start, card_.number) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::string* IcCardModel::findFile(const IcRequest& request, std::string& answer) {
    if (!isAddress(request.fileAddress)) {
        refuse(answer, "BAD_ADDRESS");
        return nullptr;
    }
    const auto file = files_.find(request.fileAddress);
    if (file == files_.end()) {
        refuse(answer, "NO_FILE");
        return nullptr;
    }
    return &file->second;
}

// A wrong PIN costs a try; the try that uses up the last one blocks the PIN.
int IcCardModel::refuseWrongPin(std::string& answer) {
    pinVerified_ = false;
    if (triesLeft_ > 0) --triesLeft_;
    if (triesLeft_ == 0) return refuse(answer, "PIN_BLOCKED");
    return refuse(answer, "PIN_WRONG", std::to_string(triesLeft_));
}

// pPayInfo is "<amount>" or "<amount>|<merchant>": the amount in the smallest currency unit,
// 1 to 9 digits and above 0; the merchant up to 40 bytes without "|" or ",".
int IcCardModel::checkPayment(const IcRequest& request, Payment& payment,
                              std::string& answer) const {
    if (triesLeft_ == 0) return refuse(answer, "PIN_BLOCKED");
    const std::string& info = request.payInfo;
    const size_t bar = info.find('|');
    const std::string amount = info.substr(0, bar);
    payment.merchant = bar == std::string::npos ? "" : info.substr(bar + 1);
    if (amount.empty() || amount.size() > 9 ||
        amount.find_first_not_of("0123456789") != std::string::npos ||
        payment.merchant.size() > kMerchantBytes ||
        payment.merchant.find_first_of("|,") != std::string::npos) {
        return refuse(answer, "BAD_PAY_INFO");
    }
    payment.amount = std::stoll(amount);
    if (payment.amount == 0) return refuse(answer, "BAD_PAY_INFO");
    if (payment.amount > balance_) return refuse(answer, "NO_FUNDS", std::to_string(balance_));
    return kOk;
}

int IcCardModel::debit(const Payment& payment, std::string& answer) {
    balance_ -= payment.amount;
    ++lastSequence_;
    debits_.push_front({lastSequence_, payment.amount, balance_, payment.merchant});
    if (debits_.size() > kDebitRecords) debits_.pop_back();
    return ok(answer, std::to_string(lastSequence_) + "|" + std::to_string(payment.amount) + "|" +
                          std::to_string(balance_));
}

// The holder types the new PIN; a reload also clears the retry counter.
int IcCardModel::setNewPin(const PinPad& pinPad, std::string& answer) {
    const std::string typed = pinPad();
    if (typed.empty()) return refuse(answer, "CANCELLED");
    if (!isPinText(typed)) return refuse(answer, "BAD_PIN");
    pin_ = typed;
    triesLeft_ = card_.pinTries;
    pinVerified_ = false;
    return ok(answer);
}

}  // namespace pictavo
