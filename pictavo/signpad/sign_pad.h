// The signature pad: the signer writes on the pad, the library saves the signature as an image.
#pragma once

#include <functional>
#include <string>

#include "pictavo.h"
#include "pictavo/status.h"

namespace pictavo {

struct SignSettings {
    SignParam values{};  // as passed; values.filepath is null, the path is copied below
    std::string filePath;
};

// Told, on a thread of the pad's, that the pad saved the signature by itself (true) or tried
// and could not (false).
using SignSavedListener = std::function<void(bool saved)>;

// Called from any thread; implementations guard their own state. A pad tells the service about
// a saved signature through the listener the registry attaches, which calls the service's
// callback (Registry::deliverSignSaved()).
class SignPad {
  public:
    virtual ~SignPad() = default;

    virtual int init() = 0;
    virtual int configure(const SignSettings& settings) = 0;
    // Writes the current signature to `path` before returning.
    virtual int saveTo(const std::string& path) = 0;
    virtual int startWriting() = 0;
    virtual int stopWriting() = 0;
    // Pads that never save by themselves need no listener.
    virtual void setSavedListener(SignSavedListener listener) { static_cast<void>(listener); }
};

class NoSignPad final : public SignPad {
  public:
    int init() override { return kOk; }
    int configure(const SignSettings&) override { return kNoDevice; }
    int saveTo(const std::string&) override { return kNoDevice; }
    int startWriting() override { return kNoDevice; }
    int stopWriting() override { return kNoDevice; }
};

}  // namespace pictavo
