// The program on every platform: the command line's actions; serving with its guard, crash
// handler, endpoint, the host thread's wait, and the one shutdown sequence.
#include "host/service_host.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
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
#include "host/shutdown_sequence.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/service_status.h"
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
// While the desktop shows that another program holds the port, it is looked at this often.
constexpr auto kPortLookInterval = std::chrono::seconds(1);

// The service thread's wait for the port to come free, which the shutdown cuts short.
class PortWait {
public:
    // True once `free` holds, false when the shutdown began (before or during the wait).
    bool until(const std::function<bool()>& free) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (free()) return true;
            woken_.wait_for(lock, kPortLookInterval, [this] { return stopping_; });
        }
        return false;
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        woken_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool stopping_ = false;
};

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
    // 0 only for a plain second start, beside the instance that runs.
    if (guardStatus == 0) platform.tellAlreadyRunning();
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

    // What the desktop's icon shows; the platform is told of every change.
    ServiceStatus status(settings.address, settings.port);
    status.setChangeHook([&platform] { platform.statusChanged(); });
    std::unique_ptr<CommandService> service;
    WsServer server({
        // On the command worker, with the reply route set to the page that asked.
        [&service](std::string text) { handleRequest(*service, std::move(text)); },
        // Pushes stop only while no page at all is connected.
        [&service, &status](size_t openConnections) {
            service->pushSuspended = openConnections == 0;
            status.setPages(openConnections);
        },
        [&status](const std::string& address, uint16_t port) {
            std::cout << "Lenvaro Server listening on " << address << ":" << port << std::endl;
            status.setListening(port);
        },
        // On the I/O thread; the service outlives the endpoint.
        [&service] { return service->statusMembers(); },
    });
    server.setAllowedOrigins(settings.allowedOrigins);
    service = std::make_unique<CommandService>(
        scratch->path(), [&server](std::string text) { server.sendText(std::move(text)); },
        [&server] { return server.queuedBytes(); }, &status);

    // With its state on the desktop, a service that cannot listen stays there and says so
    // rather than vanishing, and takes a port another program held as soon as it is free;
    // without, it ends (status 1) as before.
    const bool shownOnDesktop = !commandLine.noTray && settings.trayIcon && platform.showStatus(status);
    PortWait portWait;
    std::atomic<bool> serviceEnded{false};
    std::atomic<bool> serviceStarted{false};
    std::thread serviceThread([&] {
        AlternateSignalStack serviceThreadSignalStack;
        for (;;) {
            serviceStarted = serviceThreadMain(server, settings);
            if (serviceStarted) break;
            const auto portIsFree = [&settings] { return listenPortIsFree(settings.address, settings.port); };
            const bool portInUse = !portIsFree();
            status.setEndpointProblem(portInUse ? ServiceStatus::Endpoint::PortInUse
                                                : ServiceStatus::Endpoint::CannotListen);
            // The port is looked at quietly and tried once free, so the failure is told once.
            if (!shownOnDesktop || !portInUse || !portWait.until(portIsFree)) break;
        }
        serviceEnded = true;
    });

    bool quitRequested = false;
    const auto exitStatus = [&](const ShutdownReport& report) {
        if (!quitRequested && !serviceStarted) return 1;  // the endpoint could not start, or failed
        return report.orderly() ? 0 : kLeftBehindExitStatus;
    };
    // Every way out (a quit, a port that could not be bound, an endpoint that failed) runs this
    // sequence, once (see shutdown_sequence.h): the command in hand finishes and its reply still
    // goes out; background face matches end; library callbacks are turned away, both cameras
    // closed and the library released; only then the endpoint the callbacks pushed through, and
    // last the command service they reached it by, and the scratch directory.
    bool shutDown = false;
    int exitCode = 0;
    auto shutDownOnce = [&] {
        if (shutDown) return;
        shutDown = true;
        portWait.stop();
        ShutdownSteps steps;
        steps.stopCommands = [&server] { server.stopCommands(); };
        steps.stopBackgroundWork = [&service] { service->stopBackgroundWork(); };
        steps.closeCallbacks = [&service] { service->closeCallbacks(); };
        steps.closeCameras = [] {
            camCloseDev(0);
            camCloseDev(1);
        };
        steps.releaseLibrary = [] { camUnInitCameraLib(); };
        steps.stopEndpoint = [&server, &serviceThread](std::chrono::milliseconds grace) {
            server.stop(grace);
            serviceThread.join();
        };
        steps.commandInHand = [&service] { return service->commandInHand(); };
        const ShutdownReport report = runShutdown(steps);
        exitCode = exitStatus(report);
        if (report.orderly()) {
            service.reset();
            scratch.reset();
            return;
        }
        // Whatever was left behind uses the service, the endpoint and the library's own state:
        // none of them may be destroyed under it. The process ends here, without destructors;
        // the private scratch directory goes first (it may hold an ID card's photo), and the
        // system closes devices and sockets and frees the rest.
        platform.tell(report.describe());
        scratch.reset();
        platform.ended(exitCode == 1);
        platform.endNow(exitCode);
    };
    // The one entry for a quit, whoever asks (a signal, --quit, the icon's menu, the session
    // ending): the host thread runs the shutdown sequence.
    auto quit = [&] {
        // A crash while closing down must not bring the service back.
        cancelCrashRelaunch();
        quitRequested = true;
        shutDownOnce();
    };

    platform.startWaiting(quit);
    auto nextOffsetRefresh = std::chrono::steady_clock::now() + kUtcOffsetRefresh;
    // Shown on the desktop, a service that never managed to listen shows why and waits for the
    // user's quit; an endpoint that failed after it had listened ends the process (status 1), so
    // that systemd or the crash relaunch can bring the service back.
    while (!quitRequested && (!serviceEnded || (shownOnDesktop && !serviceStarted))) {
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
    platform.ended(exitCode == 1);
    return exitCode;
}

}  // namespace lenvaro
