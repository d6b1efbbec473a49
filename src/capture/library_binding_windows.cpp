// Pictavo.dll bound at run time: one entry point per function of pictavo.h, each
// calling through the address looked up at start. The library's functions are plain C
// functions whose caller removes the arguments (cdecl), exported under their plain names.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "capture/library_binding.h"
#include "common/paths.h"
#include "common/windows_text.h"
#include "pictavo.h"

namespace lenvaro {
namespace {

enum FunctionIndex {
#define PICTAVO_FUNCTION(ret, name, params, args) k_##name,
#include "pictavo_functions.inc"
#undef PICTAVO_FUNCTION
    kFunctionCount
};

const char* const kFunctionNames[kFunctionCount] = {
#define PICTAVO_FUNCTION(ret, name, params, args) #name,
#include "pictavo_functions.inc"
#undef PICTAVO_FUNCTION
};

std::mutex bindingMutex;
FARPROC boundFunctions[kFunctionCount];
bool bound = false;

// The address of one function; binds from the executable's folder first if nobody has (the
// unit tests call the library without the host's start-up).
FARPROC function(FunctionIndex index) {
    {
        std::lock_guard<std::mutex> lock(bindingMutex);
        if (bound) return boundFunctions[index];
    }
    std::string reason;
    if (!bindCaptureLibrary(moduleDirectory(), reason)) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        std::abort();
    }
    return boundFunctions[index];
}

}  // namespace

bool bindCaptureLibrary(const std::string& folder, std::string& reason) {
    std::lock_guard<std::mutex> lock(bindingMutex);
    if (bound) return true;
    const std::wstring path = internalToWide(folder) + L"\\" + internalToWide(kCaptureLibraryFile);
    // No system dialog for a library (or a library it needs) that is missing or broken; the
    // library's own dependencies are looked for in its folder first.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = GetLastError();
    SetErrorMode(previousMode);
    const std::string where = folder + "\\" + kCaptureLibraryFile;
    if (library == nullptr) {
        if (error == ERROR_MOD_NOT_FOUND && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            reason = "The capture library " + where +
                     " is missing. Put the camera maker's Pictavo.dll beside LenvaroServer.exe.";
        } else if (error == ERROR_BAD_EXE_FORMAT) {
            reason = "The capture library " + where + " is not a 32-bit Windows library.";
        } else {
            reason = "The capture library " + where + " cannot be loaded: " + systemErrorText(error) +
                     ". A library it needs may be missing.";
        }
        return false;
    }
    FARPROC found[kFunctionCount];
    for (int i = 0; i < kFunctionCount; ++i) {
        found[i] = GetProcAddress(library, kFunctionNames[i]);
        if (found[i] == nullptr) {
            reason = "The capture library " + where + " has no function " + kFunctionNames[i] +
                     ": it is not a Pictavo library, or an older one.";
            FreeLibrary(library);
            return false;
        }
    }
    for (int i = 0; i < kFunctionCount; ++i) boundFunctions[i] = found[i];
    bound = true;
    return true;
}

}  // namespace lenvaro

extern "C" {
#define PICTAVO_FUNCTION(ret, name, params, args)                                   \
    ret name params {                                                               \
        using Function = ret(*) params;                                             \
        return reinterpret_cast<Function>(reinterpret_cast<void*>(                  \
            lenvaro::function(lenvaro::k_##name))) args;                            \
    }
#include "pictavo_functions.inc"
#undef PICTAVO_FUNCTION
}
