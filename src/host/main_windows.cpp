// Process entry on Windows. Serving: takes the single-instance mutex, binds Pictavo.dll from the
// executable's folder, installs the crash handler, makes the command service, runs the endpoint
// on the service thread, and runs the host window's message loop on this thread until a quit
// (the icon's menu, Ctrl+C in a console, LenvaroServer.exe --quit). --quit and
// --reset-card-reader signal the running instance instead.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "capture/library_binding.h"
#include "capture/pictavo.h"
#include "cards/reset_card_reader.h"
#include "host/command_line.h"
#include "host/config_reader.h"
#include "host/crash_handler.h"
#include "host/daily_log.h"
#include "host/instance_guard.h"
#include "host/listen_port.h"
#include "host/service_thread.h"
#include "host/tray_window_windows.h"
#include "platform/code_page.h"
#include "platform/paths.h"
#include "platform/windows_text.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/ws_server.h"

#ifndef LENVARO_VERSION
#define LENVARO_VERSION "unknown"
#endif

using namespace lenvaro;

namespace {

constexpr auto kRelaunchPatience = std::chrono::seconds(10);
constexpr auto kQuitPatience = std::chrono::seconds(30);
// Events of the running instance, in the session's namespace like the mutex.
constexpr const wchar_t* kQuitEventName = L"LenvaroServer.Quit";
constexpr const wchar_t* kResetEventName = L"LenvaroServer.ResetCardReader";

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

int serve(const CommandLine& commandLine) {
    const auto startedAt = std::chrono::steady_clock::now();

    InstanceGuard guard(defaultGuardPath());
    const InstanceGuard::Outcome guarded =
        commandLine.relaunched ? guard.acquireWithin(kRelaunchPatience) : guard.tryAcquire();
    if (guarded == InstanceGuard::Outcome::HeldByAnother) return 0;
    if (guarded == InstanceGuard::Outcome::Failed) {
        tellUser("LenvaroServer: " + guard.error());
        return 1;
    }

    // Bound before anything calls it, so that a missing library is one plain message.
    std::string reason;
    if (!bindCaptureLibrary(moduleDirectory(), reason)) {
        tellUser("LenvaroServer: " + reason);
        return 1;
    }

    quitEvent = CreateEventW(nullptr, FALSE, FALSE, kQuitEventName);
    HANDLE resetEvent = CreateEventW(nullptr, FALSE, FALSE, kResetEventName);
    finishedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Ctrl+C may have been switched off for this process by whoever started it (a program of
    // the Windows subsystem usually starts so); switched on again, it quits as on Linux.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(consoleControl, TRUE);

    AlternateSignalStack hostThreadStack;
    DailyLog& log = DailyLog::instance();
    CrashRelaunch relaunch;
    relaunch.enabled = !commandLine.noRelaunch;
    relaunch.executable = executablePath();
    relaunch.arguments = {kRelaunchedOption};
    relaunch.thisIsARelaunch = commandLine.relaunched;
    installCrashHandler(log, relaunch);

    std::string warnings;
    const ListenSettings settings = readListenSettings(configurationPath(moduleDirectory()), warnings);
    if (!warnings.empty()) std::cerr << warnings << std::flush;
    if (commandLine.relaunched) {
        waitForListenPort(settings.address, settings.port, startedAt + kRelaunchPatience);
    }

    std::unique_ptr<ScratchDirectory> scratch;
    try {
        scratch = std::make_unique<ScratchDirectory>(scratchParentFolder());
    } catch (const std::exception& error) {
        tellUser(std::string("LenvaroServer: ") + error.what());
        return 1;
    }

    std::unique_ptr<CommandService> service;
    WsServer server({
        [&service](std::string text) { handleRequest(*service, std::move(text)); },
        [&service](size_t openConnections) { service->pushSuspended = openConnections == 0; },
        [](const std::string& address, uint16_t port) {
            std::cout << "Lenvaro Server listening on " << address << ":" << port << std::endl;
        },
    });
    server.setAllowedOrigins(settings.allowedOrigins);
    service = std::make_unique<CommandService>(
        scratch->path(), [&server](std::string text) { server.sendText(std::move(text)); },
        [&server] { return server.queuedBytes(); });

    std::atomic<bool> serviceEnded{false};
    bool serviceStarted = false;
    const DWORD hostThread = GetCurrentThreadId();
    std::thread serviceThread([&] {
        AlternateSignalStack serviceThreadStack;
        serviceStarted = serviceThreadMain(server, settings);
        serviceEnded = true;
        PostThreadMessageW(hostThread, WM_NULL, 0, 0);  // wakes the loop below
    });

    // Quitting, by whatever way, ends here once, in the order of main.cpp: the command worker,
    // background work, library callbacks, both cameras (whichever was opened) and the library,
    // then the endpoint.
    bool quitRequested = false;
    bool closedDown = false;
    auto closeDown = [&] {
        if (closedDown) return;
        closedDown = true;
        // A crash while closing down must not bring the service back.
        cancelCrashRelaunch();
        server.stopCommands();
        service->stopBackgroundWork();
        service->closeCallbacks();
        camCloseDev(0);
        camCloseDev(1);
        camUnInitCameraLib();
        server.stop();
        serviceThread.join();
        service.reset();
    };
    {
        TrayWindow window({[] { PostQuitMessage(0); }, [] { resetCardReader(); },
                           // Log-off or shutdown ends the process once the window has answered.
                           [&] {
                               quitRequested = true;
                               closeDown();
                           }});
        HANDLE waitFor[] = {quitEvent, resetEvent};
        int waitsSinceOffsetRefresh = 0;
        while (!serviceEnded && !quitRequested) {
            const DWORD woke = MsgWaitForMultipleObjects(2, waitFor, FALSE, 100, QS_ALLINPUT);
            if (woke == WAIT_OBJECT_0) quitRequested = true;
            if (woke == WAIT_OBJECT_0 + 1) resetCardReader();
            MSG message;
            while (!quitRequested && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT) {
                    quitRequested = true;
                    break;
                }
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            if (++waitsSinceOffsetRefresh >= 10) {
                log.refreshUtcOffset();
                waitsSinceOffsetRefresh = 0;
            }
        }
    }  // the icon goes first: the user sees the service is quitting

    int status = 0;
    if (quitRequested) {
        closeDown();
    } else {
        // The endpoint ended by itself: it could not start (or failed while running).
        closeDown();
        status = serviceStarted ? 0 : 1;
        if (!serviceStarted && !haveStandardError()) {
            // The endpoint has said why on standard output and error; without a console nobody
            // reads them.
            MessageBoxW(nullptr, L"\u670d\u52a1\u5f00\u542f\u5931\u8d25\uff01", L"Error", MB_OK | MB_ICONWARNING);
        }
    }
    SetEvent(finishedEvent);
    return status;
}

}  // namespace

int main() {
    attachToParentConsole();
    setInternalCodePage(localeCodePage());
    const CommandLine commandLine = parseCommandLine(argumentsAfterProgram());
    if (!commandLine.error.empty()) {
        std::cerr << "LenvaroServer: " << commandLine.error << "\n"
                  << "Try 'LenvaroServer.exe --help'.\n";
        return 2;
    }
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        std::cout << usageText();
        return 0;
    case CommandLine::Action::Version:
        std::cout << "LenvaroServer " << LENVARO_VERSION << "\n";
        return 0;
    case CommandLine::Action::Quit:
        return quitRunningInstance();
    case CommandLine::Action::ResetCardReader:
        return askForCardReaderReset();
    case CommandLine::Action::BrowserPolicy:
        // Windows browsers read their policies from the registry, which this option does not
        // write yet; Group Policy sets the same two policies.
        std::cerr << "LenvaroServer: --browser-policy is not available on Windows; set the policies "
                     "LocalNetworkAccessAllowedForUrls and OverrideSecurityRestrictionsOnInsecureOrigin "
                     "through Group Policy\n";
        return 1;
    case CommandLine::Action::Serve:
        break;
    }
    return serve(commandLine);
}
