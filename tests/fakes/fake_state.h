// The link between the fake's entry points and its shared state.
#pragma once

#include <optional>
#include <string>

#include "fake_pictavo.h"

namespace pictavo_fake::detail {

// Callbacks a call hands over; set only for the functions that register one.
struct Registration {
    std::optional<PreviewFrameCallback*> preview;
    std::optional<AutoCaptureCallback*> autoCapture;
    std::optional<SignSavedCallback*> signSaved;
};

// Records and logs the call, takes its callbacks, and returns what the call should do.
Outcome enterCall(Call call, const Registration& registration);

// True for the names declared in pictavo.h.
bool isLibraryFunction(const std::string& name);

// A mistake in the test: print why and abort.
[[noreturn]] void fail(const std::string& message);

}  // namespace pictavo_fake::detail
