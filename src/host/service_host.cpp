// The program on every platform: the command line's actions; serving with its guard, crash
// handler, endpoint, the host thread's wait, and the one shutdown sequence.
#include "host/service_host.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

#include "cards/reset_card_reader.h"
#include "common/daily_log.h"
#include "common/paths.h"
#include "host/command_line.h"
#include "host/config_reader.h"
#include "host/crash_handler.h"
#include "host/instance_guard.h"
#include "host/listen_port.h"
#include "host/service_thread.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/ws_server.h"

#ifndef LENVARO_VERSION
#define LENVARO_VERSION "unknown"
#endif

namespace lenvaro {
namespace {

// How long a relaunched copy waits for the crashed one to end: a safety net only, since it
// normally ends within milliseconds (longer while the system writes a core dump).
constexpr auto kCrashedCopyPatience = std::chrono::minutes(2);
// Once it has ended, the guard and the port are normally free at once; this is how long the
// copy gives them (also to a copy relaunched by a build that did not pass the crashed process id).
constexpr auto kGuardGrace = std::chrono::seconds(2);
constexpr auto kRelaunchPatience = std::chrono::seconds(10);
// How often the host thread looks at the clock's offset from UTC.
constexpr auto kUtcOffsetRefresh = std::chrono::seconds(1);
constexpr auto kHostWait = std::chrono::milliseconds(100);

// The guard comes before the command service, so a second start never initialises the capture
// library under the running instance's feet: it ends at once with status 0. A copy started after
// a crash first waits for the crashed one to be gone (which frees the guard and the port),
// however long its end takes; when it still cannot start it ends with status 1, so that the
// service being down is never reported as success. -1: go on.
int takeGuard(InstanceGuard& guard, const CommandLine& commandLine,
              const std::function<void(const std::string&)>& tell) {
    InstanceGuard::Outcome guarded;
    if (commandLine.relaunched) {
        if (commandLine.relaunchedFrom > 0 && !waitForCrashedCopy(commandLine.relaunchedFrom, kCrashedCopyPatience)) {
            tell("the crashed copy (process " + std::to_string(commandLine.relaunchedFrom) +
                          ") has not ended; not starting");
            return 1;
        }
        guarded = guard.acquireWithin(commandLine.relaunchedFrom > 0 ? kGuardGrace : kRelaunchPatience);
        if (guarded == InstanceGuard::Outcome::HeldByAnother) {
            tell("another instance holds " + guard.path() + "; not starting");
            return 1;
        }
    } else {
        guarded = guard.tryAcquire();
        if (guarded == InstanceGuard::Outcome::HeldByAnother) return 0;
    }
    if (guarded == InstanceGuard::Outcome::Failed) {
        tell(guard.error());
        return 1;
    }
    return -1;
}

}  // namespace

int runProgram(const std::vector<std::string>& arguments, HostPlatform& platform) {
    const CommandLine commandLine = parseCommandLine(arguments);
    if (!commandLine.error.empty()) {
        std::cerr << platform.programName() << ": " << commandLine.error << "\n"
                  << "Try '" << platform.commandName() << " --help'.\n";
        return 2;
    }
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        std::cout << usageText();
        return 0;
    case CommandLine::Action::Version:
        std::cout << platform.programName() << " " << LENVARO_VERSION << "\n";
        return 0;
    case CommandLine::Action::Quit:
        return platform.quitRunningInstance();
    case CommandLine::Action::ResetCardReader:
        return platform.askForCardReaderReset();
    case CommandLine::Action::BrowserPolicy:
        return platform.browserPolicy(commandLine.browserPolicy);
    case CommandLine::Action::Serve:
        break;
    }
    platform.beforeServing();
    return runService(commandLine, platform);
}

int runService(const CommandLine& commandLine, HostPlatform& platform) {
    const auto tell = [&platform](const std::string& problem) { platform.tell(problem); };
    InstanceGuard guard(defaultGuardPath());
    const int guardStatus = takeGuard(guard, commandLine, tell);
    if (guardStatus >= 0) return guardStatus;
    if (!platform.prepare()) return 1;

    AlternateSignalStack hostThreadSignalStack;
    DailyLog& log = DailyLog::instance();
    CrashRelaunch relaunch;
    relaunch.enabled = !commandLine.noRelaunch && !platform.supervised();
    // The path as the system gives it, already in the internal code page, so the log line needs
    // no conversion.
    relaunch.executable = executablePath();
    relaunch.arguments = {std::string(kRelaunchedOption) + "=" + std::to_string(currentProcessId())};
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
        tell(error.what());
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
        // On the I/O thread; the service outlives the endpoint.
        [&service] { return service->statusMembers(); },
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

    // Every way out (a quit, a port that could not be bound, an endpoint that failed) stops
    // things in this order, once. First the commands: the one running finishes and its reply
    // still goes out; then whatever calls the library on its own (background face matches);
    // then the library's streams: callbacks are turned away (those under way finish), both
    // cameras closed, whichever was opened, and the library released; only then the endpoint
    // the callbacks pushed through, and last the command service they reached it by.
    bool shutDown = false;
    auto shutDownOnce = [&] {
        if (shutDown) return;
        shutDown = true;
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
    bool quitRequested = false;
    auto quit = [&] {
        // A crash while closing down must not bring the service back.
        cancelCrashRelaunch();
        quitRequested = true;
        shutDownOnce();
    };

    platform.startWaiting(quit);
    auto nextOffsetRefresh = std::chrono::steady_clock::now() + kUtcOffsetRefresh;
    while (!quitRequested && !serviceEnded) {
        const HostEvent event = platform.waitForEvent(kHostWait);
        if (event == HostEvent::Quit) {
            cancelCrashRelaunch();
            quitRequested = true;
        }
        if (event == HostEvent::ResetCardReader) resetCardReader();
        if (std::chrono::steady_clock::now() >= nextOffsetRefresh) {
            // Keeps the crash log's time stamps right across a change of daylight saving time.
            log.refreshUtcOffset();
            nextOffsetRefresh = std::chrono::steady_clock::now() + kUtcOffsetRefresh;
        }
    }
    platform.stopWaiting();
    shutDownOnce();

    const bool endpointFailed = !quitRequested && !serviceStarted;
    platform.ended(endpointFailed);
    return endpointFailed ? 1 : 0;
}

}  // namespace lenvaro
