// The IC card (chip card) reader: plain operations and the two- and three-step variants in which
// a hardware security module supplies the key between the steps.
#pragma once

#include <string>

#include "pictavo/status.h"

namespace pictavo {

enum class IcOperation {
    kReadBasic,
    kReadBasicStep1,
    kReadBasicStep2,
    kRead,
    kReadStep1,
    kReadStep2,
    kWrite,
    kWriteStep1,
    kWriteStep2,
    kVerifyPin,
    kChangePin,
    kReloadPin,
    kReloadPinStep1,
    kReloadPinStep2,
    kUnblockPin,
    kUnblockPinStep1,
    kUnblockPinStep2,
    kUnblockPinStep3,
    kDebit,
    kDebitStep1,
    kDebitStep2,
    kReadDebitRecord,
};

// The inputs of an operation; each operation reads the fields its C function passes.
struct IcRequest {
    int type = 0;
    int authType = 0;
    std::string cardInfo;
    std::string fileAddress;
    std::string writeData;
    std::string payInfo;
    std::string key;
};

// Called from any thread; implementations guard their own state (an operation's steps span
// several calls).
class IcCardReader {
  public:
    virtual ~IcCardReader() = default;
    // Runs one operation. `out` receives the card's answer text when the card answered: kOk
    // when it did the work, kFailed when it refused (the text says why). Other statuses leave
    // `out` empty.
    virtual int run(IcOperation operation, const IcRequest& request, std::string& out) = 0;
};

class NoIcCardReader final : public IcCardReader {
  public:
    int run(IcOperation, const IcRequest&, std::string&) override { return kNoDevice; }
};

}  // namespace pictavo
