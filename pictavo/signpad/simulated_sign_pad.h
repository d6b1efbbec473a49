// A signature pad without hardware: a simulated signer writes a stroke some time after writing
// starts, and the pad then saves the signature by itself, as a real pad does when the signer
// confirms.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "pictavo/config.h"
#include "pictavo/signpad/sign_pad.h"
#include "pictavo/signpad/signature_image.h"

namespace pictavo {

class SimulatedSignPad final : public SignPad {
  public:
    explicit SimulatedSignPad(SignPadSettings settings);
    // Waits for a save in progress; no listener is called afterwards.
    ~SimulatedSignPad() override;
    SimulatedSignPad(const SimulatedSignPad&) = delete;
    SimulatedSignPad& operator=(const SimulatedSignPad&) = delete;

    // Ends writing and clears the signature.
    int init() override;
    // Takes the window and colours and the file the pad saves to by itself; clears the signature.
    int configure(const SignSettings& settings) override;
    // Writes the signature as it stands (blank before the first stroke) and remembers the file
    // as the one the pad saves to when configure() named none.
    int saveTo(const std::string& path) override;
    // The simulated signer finishes one stroke strokeAfterMs later; then, with saveAfterStroke,
    // the pad saves and tells the listener. Starting again while a stroke is pending restarts
    // its time.
    int startWriting() override;
    // Ends writing; a stroke not yet written is not written.
    int stopWriting() override;
    void setSavedListener(SignSavedListener listener) override;

    bool writing() const;
    int strokes() const;

  private:
    void runSigner();
    std::string saveTarget() const;

    const SignPadSettings settings_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    SignatureStyle style_;
    std::string padFile_;     // named by configure(): where the pad saves by itself
    std::string outputFile_;  // the last file saveTo() named
    int strokes_ = 0;
    bool writing_ = false;
    std::optional<std::chrono::steady_clock::time_point> strokeDue_;
    bool stopping_ = false;
    SignSavedListener listener_;
    std::thread signer_;  // started with the first writing; joined by the destructor
};

}  // namespace pictavo
