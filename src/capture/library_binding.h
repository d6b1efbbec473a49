// Binding the capture library. On Linux the loader does it: the executable links libpictavo.so.
// On Windows the service loads Pictavo.dll from its own folder at start and looks up every
// function of pictavo.h before anything else runs, so that a missing or incomplete
// library is reported in plain words rather than by the system loader's dialog.
#pragma once

#include <string>

namespace lenvaro {

// The library's file name on Windows.
constexpr const char* kCaptureLibraryFile = "Pictavo.dll";

// Loads the library from `folder` and binds every function. False, with the reason (which file,
// which function, what the system said), when it cannot; nothing is bound then. Binding twice
// keeps the first binding.
bool bindCaptureLibrary(const std::string& folder, std::string& reason);

}  // namespace lenvaro
