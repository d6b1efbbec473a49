// The program, the same on every platform: the command line's actions, and serving from the
// single-instance guard to the exit status. The platform's entry point (main_linux.cpp,
// main_windows.cpp) supplies what differs through a HostPlatform: its names, how the running
// instance is signalled, how a problem reaches the user, what must be ready before the service
// is made, and how the host thread waits for a quit.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "host/command_line.h"

namespace lenvaro {

class ServiceStatus;

// What woke the host thread. Every quit (a signal, --quit, an icon's menu) is reported as Quit
// and runs the one shutdown sequence (shutdown_sequence.h); only the session ending, which must
// be done before it returns, takes startWaiting's quitNow to the same sequence.
enum class HostEvent { None, Quit, ResetCardReader };

// The exit status of a quit that could not wait for everything: a library call (a live match,
// an upload, a card read) was still running when the time for it ran out and was left behind.
inline constexpr int kLeftBehindExitStatus = 3;

class HostPlatform {
public:
    virtual ~HostPlatform() = default;

    // The name in messages and --version ("lenvaro-server"), and the one users type.
    virtual std::string programName() const = 0;
    virtual std::string commandName() const = 0;
    // --quit, --reset-card-reader and --browser-policy; each returns the exit status.
    virtual int quitRunningInstance() = 0;
    virtual int askForCardReaderReset() = 0;
    virtual int browserPolicy(BrowserPolicyAction action) = 0;
    // Before serving begins, while this is the process's only thread.
    virtual void beforeServing() {}

    // A problem that ends the start, where the user will see it, after the program's name.
    virtual void tell(const std::string& problem) = 0;
    // Whether a supervisor restarts the service after a crash (systemd): the crash handler then
    // starts no copy of its own.
    virtual bool supervised() const { return false; }
    // Once the guard is held, before the crash handler and the service: what has to be ready
    // first (on Windows, Pictavo.dll bound and the quit events made). False, after telling why,
    // ends the process with status 1.
    virtual bool prepare() { return true; }
    // A second start, which ends at once with status 0: tells the user the service already runs.
    virtual void tellAlreadyRunning() {}
    // The service's state (service_status.h) changed: called on the thread that changed it,
    // the I/O thread or the command worker included, so it must return at once.
    virtual void statusChanged() {}
    // Shows the service's state on the desktop until stopWaiting(): called when the icon is
    // wanted (no --no-tray, not off in cfg/exeCfg.xml), before the service thread starts;
    // `status` outlives stopWaiting(). Returns whether a desktop shows it: then a port that
    // cannot be bound is shown there and tried again until it is free or the user quits,
    // instead of ending the service.
    virtual bool showStatus(const ServiceStatus& status) {
        (void)status;
        return false;
    }
    // The service runs; until stopWaiting() the host thread calls waitForEvent(). `quitNow` quits
    // at once, shutdown sequence included, for a platform that must be done before it returns
    // from what told it (the session ending); host thread only.
    virtual void startWaiting(const std::function<void()>& quitNow) { (void)quitNow; }
    // Waits at most `timeout` for something the host thread must do.
    virtual HostEvent waitForEvent(std::chrono::milliseconds timeout) = 0;
    // Waiting is over; the shutdown sequence comes next.
    virtual void stopWaiting() {}
    // Everything is stopped. `endpointFailed`: the endpoint could not start or failed while
    // running (it has said why on standard output and error).
    virtual void ended(bool endpointFailed) { (void)endpointFailed; }
    // Ends the process at once with `status`, without destructors or exit handlers (and without
    // the library's own clean-up at unload): a thread is still inside the capture library.
    // Flushes standard output and error first.
    [[noreturn]] virtual void endNow(int status) = 0;
};

// Does what the arguments (those after the program's name) ask; returns the exit status: 2 for
// arguments it cannot understand.
int runProgram(const std::vector<std::string>& arguments, HostPlatform& platform);

// Serving: takes the guard (a relaunched copy first waits for the crashed one to be gone),
// installs the crash handler, runs the endpoint on the service thread and waits on this one, the
// host thread, for a quit. Every way out stops things in one order (see service_host.cpp).
// Returns the exit status: 0 after a quit or when another instance already runs, 1 when the
// service could not start (a relaunched copy included) or its endpoint failed. A quit that had to
// leave a library call behind ends the process through HostPlatform::endNow with
// kLeftBehindExitStatus, within a few seconds whatever the call does.
int runService(const CommandLine& commandLine, HostPlatform& platform);

}  // namespace lenvaro
