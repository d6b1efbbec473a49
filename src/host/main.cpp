// Process entry. Serving: takes the single-instance guard, installs the crash handler, makes the
// command service, runs the endpoint on the service thread, and waits on this (the host) thread
// for the quit signals and the card-reader reset. --quit and --reset-card-reader signal the
// running instance instead.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <thread>

#include "capture/pictavo.h"
#include "cards/reset_card_reader.h"
#include "host/browser_policy.h"
#include "host/command_line.h"
#include "host/config_reader.h"
#include "host/crash_handler.h"
#include "host/daily_log.h"
#include "host/instance_guard.h"
#include "host/listen_port.h"
#include "host/service_thread.h"
#include "platform/code_page.h"
#include "platform/paths.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/ws_server.h"

#ifndef LENVARO_VERSION
#define LENVARO_VERSION "unknown"
#endif

using namespace lenvaro;

namespace {

// How long a relaunched copy waits for the crashed one to end: a safety net only, since it
// normally ends within milliseconds (longer while the system writes a core dump).
constexpr auto kCrashedCopyPatience = std::chrono::minutes(2);
// Once it has ended, the guard and the port are normally free at once; this is how long the
// copy gives them (also to a copy relaunched by a build that did not pass the crashed process id).
constexpr auto kGuardGrace = std::chrono::seconds(2);
constexpr auto kRelaunchPatience = std::chrono::seconds(10);
// How long --quit waits for the running instance to close its devices and end.
constexpr auto kQuitPatience = std::chrono::seconds(30);

// --quit and --reset-card-reader: the running instance, or 0 after telling the user why not.
pid_t runningInstanceOrComplain() {
    const std::string guardPath = defaultGuardPath();
    const pid_t pid = runningInstance(guardPath);
    if (pid == 0) {
        std::cerr << "lenvaro-server: no instance is running (" << guardPath << " is not held)\n";
    } else if (pid < 0) {
        std::cerr << "lenvaro-server: an instance holds " << guardPath << " but its process id cannot be read\n";
        return 0;
    }
    return pid;
}

int quitRunningInstance() {
    const pid_t pid = runningInstanceOrComplain();
    if (pid <= 0) return 1;
    if (::kill(pid, SIGTERM) != 0) {
        std::cerr << "lenvaro-server: cannot signal process " << pid << "\n";
        return 1;
    }
    // The guard is free once the instance has closed its devices and ended.
    const std::string guardPath = defaultGuardPath();
    const auto deadline = std::chrono::steady_clock::now() + kQuitPatience;
    while (runningInstance(guardPath) == pid) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::cerr << "lenvaro-server: process " << pid << " has not ended within "
                      << kQuitPatience.count() << " seconds\n";
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

int askForCardReaderReset() {
    const pid_t pid = runningInstanceOrComplain();
    if (pid <= 0) return 1;
    if (::kill(pid, SIGUSR1) != 0) {
        std::cerr << "lenvaro-server: cannot signal process " << pid << "\n";
        return 1;
    }
    return 0;
}

// Every connection holds a descriptor, and websocketpp retries a failed accept at once: a
// process out of descriptors spins on its listening socket until some are freed. Half-open
// connections make that cheap to reach under the usual soft limit of 1024, so the service takes
// the whole hard limit.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

int serve(const CommandLine& commandLine) {
    setInternalCodePage(localeCodePage());

    // The host's signals are taken by this thread alone (sigtimedwait below), so their work
    // runs here and not in a handler; every thread made from here on inherits the mask.
    sigset_t hostSignals;
    sigemptyset(&hostSignals);
    sigaddset(&hostSignals, SIGINT);
    sigaddset(&hostSignals, SIGTERM);
    sigaddset(&hostSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &hostSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();

    // The guard comes before the command service, so a second start never initialises the
    // capture library under the running instance's feet: it ends at once with status 0. A copy
    // started after a crash first waits for the crashed one to be gone (which frees the guard and
    // the port), however long its end takes; when it still cannot start it ends with status 1,
    // so that the service being down is never reported as success.
    InstanceGuard guard(defaultGuardPath());
    InstanceGuard::Outcome guarded;
    if (commandLine.relaunched) {
        if (commandLine.relaunchedFrom > 0 && !waitForCrashedCopy(commandLine.relaunchedFrom, kCrashedCopyPatience)) {
            std::cerr << "lenvaro-server: the crashed copy (process " << commandLine.relaunchedFrom
                      << ") has not ended; not starting" << std::endl;
            return 1;
        }
        guarded = guard.acquireWithin(commandLine.relaunchedFrom > 0 ? kGuardGrace : kRelaunchPatience);
        if (guarded == InstanceGuard::Outcome::HeldByAnother) {
            std::cerr << "lenvaro-server: another instance holds " << guard.path() << "; not starting" << std::endl;
            return 1;
        }
    } else {
        guarded = guard.tryAcquire();
        if (guarded == InstanceGuard::Outcome::HeldByAnother) return 0;
    }
    if (guarded == InstanceGuard::Outcome::Failed) {
        std::cerr << "lenvaro-server: " << guard.error() << std::endl;
        return 1;
    }

    AlternateSignalStack hostThreadSignalStack;
    DailyLog& log = DailyLog::instance();
    CrashRelaunch relaunch;
    // Under systemd (which sets INVOCATION_ID) the unit's Restart= brings the service back.
    const char* invocation = std::getenv("INVOCATION_ID");
    const bool supervised = invocation != nullptr && invocation[0] != '\0';
    relaunch.enabled = !commandLine.noRelaunch && !supervised;
    // The path as the file system stores it, which is already the locale's character set, so
    // the log line needs no conversion.
    relaunch.executable = executablePath();
    relaunch.arguments = {std::string(kRelaunchedOption) + "=" + std::to_string(::getpid())};
    relaunch.thisIsARelaunch = commandLine.relaunched;
    installCrashHandler(log, relaunch);

    std::string warnings;
    const ListenSettings settings = readListenSettings(configurationPath(moduleDirectory()), warnings);
    if (!warnings.empty()) std::cerr << warnings << std::flush;
    if (commandLine.relaunched) {
        // Past the deadline the endpoint tries anyway and reports the port in use.
        const auto patience = commandLine.relaunchedFrom > 0 ? kGuardGrace : kRelaunchPatience;
        waitForListenPort(settings.address, settings.port, std::chrono::steady_clock::now() + patience);
    }

    std::unique_ptr<ScratchDirectory> scratch;
    try {
        scratch = std::make_unique<ScratchDirectory>(scratchParentFolder());
    } catch (const std::exception& error) {
        std::cerr << "lenvaro-server: " << error.what() << std::endl;
        return 1;
    }

    std::unique_ptr<CommandService> service;
    WsServer server({
        // On the command worker, with the reply route set to the page that asked.
        [&service](std::string text) { handleRequest(*service, std::move(text)); },
        // Pushes stop only while no page at all is connected.
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
    std::thread serviceThread([&] {
        AlternateSignalStack serviceThreadSignalStack;
        serviceStarted = serviceThreadMain(server, settings);
        serviceEnded = true;
    });

    bool quitRequested = false;
    int waitsSinceOffsetRefresh = 0;
    while (!serviceEnded) {
        const timespec interval{0, 100 * 1000 * 1000};
        const int signalNumber = sigtimedwait(&hostSignals, nullptr, &interval);
        if (signalNumber == SIGINT || signalNumber == SIGTERM) {
            // A crash while closing down must not bring the service back.
            cancelCrashRelaunch();
            quitRequested = true;
            break;
        }
        if (signalNumber == SIGUSR1) resetCardReader();
        if (++waitsSinceOffsetRefresh >= 10) {
            // Keeps the crash log's time stamps right across a change of daylight saving time.
            log.refreshUtcOffset();
            waitsSinceOffsetRefresh = 0;
        }
    }

    // Every way out (a quit signal, a port that could not be bound, an endpoint that failed)
    // stops things in this order. First the commands: the one running finishes and its reply
    // still goes out; then whatever calls the library on its own (background face matches);
    // then the library's streams: callbacks are turned away (those under way finish), both
    // cameras closed, whichever was opened, and the library released; only then the endpoint
    // the callbacks pushed through, and last the command service they reached it by.
    server.stopCommands();
    service->stopBackgroundWork();
    service->closeCallbacks();
    camCloseDev(0);
    camCloseDev(1);
    camUnInitCameraLib();
    server.stop();
    serviceThread.join();
    service.reset();

    if (quitRequested) return 0;
    return serviceStarted ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!commandLine.error.empty()) {
        std::cerr << "lenvaro-server: " << commandLine.error << "\n"
                  << "Try 'lenvaro-server --help'.\n";
        return 2;
    }
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        std::cout << usageText();
        return 0;
    case CommandLine::Action::Version:
        std::cout << "lenvaro-server " << LENVARO_VERSION << "\n";
        return 0;
    case CommandLine::Action::Quit:
        return quitRunningInstance();
    case CommandLine::Action::ResetCardReader:
        return askForCardReaderReset();
    case CommandLine::Action::BrowserPolicy:
        return runBrowserPolicy(commandLine.browserPolicy,
                                {configurationPath(moduleDirectory()), managedPolicyFolders(), geteuid() == 0},
                                std::cout, std::cerr);
    case CommandLine::Action::Serve:
        break;
    }
    return serve(commandLine);
}
