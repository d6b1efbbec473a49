// Process entry on Windows. Serving (host/service_host) with Pictavo.dll bound from the
// executable's folder first, and the host window's message loop on the host thread until a quit
// (the icon's menu, Ctrl+C in a console, LenvaroServer.exe --quit, the session ending).
// --quit and --reset-card-reader signal the running instance instead.
#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/library_binding.h"
#include "common/code_page.h"
#include "common/paths.h"
#include "common/windows_text.h"
#include "host/instance_guard.h"
#include "host/service_host.h"
#include "host/tray_window_windows.h"

using namespace lenvaro;

namespace {

constexpr auto kQuitPatience = std::chrono::seconds(30);
// Events of the running instance, in the session's namespace like the mutex.
constexpr const wchar_t* kQuitEventName = L"LenvaroServer.Quit";
constexpr const wchar_t* kResetEventName = L"LenvaroServer.ResetCardReader";

// Made once the guard is held and kept for the life of the process: the console control handler
// runs on a thread of its own, at any time.
HANDLE quitEvent = nullptr;      // set to quit: console control, --quit
HANDLE finishedEvent = nullptr;  // set once the devices are closed and the library released

// Standard output and error reach a console or a file when there is one: a program of the
// Windows subsystem started from a console attaches to it (and then also gets its Ctrl+C);
// started from a redirection it keeps the handles it was given.
bool haveStandardError() {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    return error != nullptr && error != INVALID_HANDLE_VALUE && GetFileType(error) != FILE_TYPE_UNKNOWN;
}

void attachToParentConsole() {
    const bool redirected = haveStandardError();
    if (!AttachConsole(ATTACH_PARENT_PROCESS) || redirected) return;
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
    std::ios::sync_with_stdio();
}

// A plain message where the user will see it: the console or file when there is one, else a
// message box (started from Explorer or at log-on).
void tellUser(const std::string& text, const wchar_t* caption = L"LenvaroServer") {
    if (haveStandardError()) {
        std::cerr << text << std::endl;
        return;
    }
    MessageBoxW(nullptr, internalToWide(text).c_str(), caption, MB_OK | MB_ICONWARNING);
}

BOOL WINAPI consoleControl(DWORD event) {
    if (quitEvent == nullptr) return FALSE;
    SetEvent(quitEvent);
    // Closing the console, logging off or shutting down ends the process once this returns:
    // give the host the time to close the devices first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(finishedEvent, 4500);
    }
    return TRUE;
}

// Sets an event of the running instance; false (after saying so) when none runs.
bool signalRunningInstance(const wchar_t* eventName) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
    if (event == nullptr) {
        std::cerr << "LenvaroServer: no instance is running\n";
        return false;
    }
    SetEvent(event);
    CloseHandle(event);
    return true;
}

int quitRunningInstance() {
    if (!signalRunningInstance(kQuitEventName)) return 1;
    // The mutex is gone once the instance has closed its devices and ended.
    const auto deadline = std::chrono::steady_clock::now() + kQuitPatience;
    while (runningInstance(defaultGuardPath()) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::cerr << "LenvaroServer: the running instance has not ended within "
                      << kQuitPatience.count() << " seconds\n";
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

int askForCardReaderReset() {
    // The host window takes the private message; without a window (no desktop), the event.
    if (HWND window = FindWindowW(L"LenvaroServer", L"LenvaroServer")) {
        return PostMessageW(window, WM_REINIT_IDCARD, 0, 0) ? 0 : 1;
    }
    return signalRunningInstance(kResetEventName) ? 0 : 1;
}

std::vector<std::string> argumentsAfterProgram() {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(wideToInternal(wide[i]));
    LocalFree(wide);
    return arguments;
}

// The host thread runs the host window's message loop, and waits on the quit and reset events
// besides: the icon's menu, Ctrl+C in a console and LenvaroServer.exe --quit all end up here.
class WindowsHost : public HostPlatform {
public:
    std::string programName() const override { return "LenvaroServer"; }
    std::string commandName() const override { return "LenvaroServer.exe"; }
    int quitRunningInstance() override { return ::quitRunningInstance(); }
    int askForCardReaderReset() override { return ::askForCardReaderReset(); }
    int browserPolicy(BrowserPolicyAction) override {
        // Windows browsers read their policies from the registry, which this option does not
        // write yet; Group Policy sets the same two policies.
        std::cerr << "LenvaroServer: --browser-policy is not available on Windows; set the policies "
                     "LocalNetworkAccessAllowedForUrls and OverrideSecurityRestrictionsOnInsecureOrigin "
                     "through Group Policy\n";
        return 1;
    }

    void tell(const std::string& problem) override { tellUser(programName() + ": " + problem); }

    bool prepare() override {
        // Bound before anything calls it, so that a missing library is one plain message.
        std::string reason;
        if (!bindCaptureLibrary(moduleDirectory(), reason)) {
            tell(reason);
            return false;
        }
        quitEvent = CreateEventW(nullptr, FALSE, FALSE, kQuitEventName);
        resetEvent_ = CreateEventW(nullptr, FALSE, FALSE, kResetEventName);
        finishedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        // Ctrl+C may have been switched off for this process by whoever started it (a program
        // of the Windows subsystem usually starts so); switched on again, it quits as on Linux.
        SetConsoleCtrlHandler(nullptr, FALSE);
        SetConsoleCtrlHandler(consoleControl, TRUE);
        return true;
    }

    void startWaiting(const std::function<void()>& quitNow) override {
        window_ = std::make_unique<TrayWindow>(TrayWindow::Actions{
            [] { PostQuitMessage(0); },
            [this] { resetAsked_ = true; },
            // Log-off or shutdown ends the process once the window has answered.
            quitNow});
    }

    HostEvent waitForEvent(std::chrono::milliseconds timeout) override {
        HANDLE waitFor[] = {quitEvent, resetEvent_};
        const DWORD woke = MsgWaitForMultipleObjects(2, waitFor, FALSE, static_cast<DWORD>(timeout.count()), QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) return HostEvent::Quit;
        if (woke == WAIT_OBJECT_0 + 1) return HostEvent::ResetCardReader;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return HostEvent::Quit;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (resetAsked_) {
            resetAsked_ = false;
            return HostEvent::ResetCardReader;
        }
        return HostEvent::None;
    }

    // The icon goes first: the user sees the service is quitting.
    void stopWaiting() override { window_.reset(); }

    void ended(bool endpointFailed) override {
        if (endpointFailed && !haveStandardError()) {
            // The endpoint has said why on standard output and error; without a console nobody
            // reads them.
            MessageBoxW(nullptr, L"\u670d\u52a1\u5f00\u542f\u5931\u8d25\uff01", L"Error", MB_OK | MB_ICONWARNING);
        }
        SetEvent(finishedEvent);
    }

private:
    HANDLE resetEvent_ = nullptr;
    std::unique_ptr<TrayWindow> window_;
    bool resetAsked_ = false;
};

}  // namespace

int main() {
    attachToParentConsole();
    // Before the arguments are read: they come as UTF-16 and are kept in the internal code page.
    setInternalCodePage(localeCodePage());
    WindowsHost host;
    return runProgram(argumentsAfterProgram(), host);
}
