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

// What woke the host thread.
enum class HostEvent { None, Quit, ResetCardReader };

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
};

// Does what the arguments (those after the program's name) ask; returns the exit status: 2 for
// arguments it cannot understand.
int runProgram(const std::vector<std::string>& arguments, HostPlatform& platform);

// Serving: takes the guard (a relaunched copy first waits for the crashed one to be gone),
// installs the crash handler, runs the endpoint on the service thread and waits on this one, the
// host thread, for a quit. Every way out stops things in one order (see service_host.cpp).
// Returns the exit status: 0 after a quit or when another instance already runs, 1 when the
// service could not start (a relaunched copy included) or its endpoint failed.
int runService(const CommandLine& commandLine, HostPlatform& platform);

}  // namespace lenvaro
