// Process entry on Linux. Serving (host/service_host) with the host thread waiting for the quit
// signals and the card-reader reset; --quit and --reset-card-reader signal the running instance
// instead.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/code_page.h"
#include "common/paths.h"
#include "host/browser_policy.h"
#include "host/config_reader.h"
#include "host/instance_guard.h"
#include "host/service_host.h"

using namespace lenvaro;

namespace {

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

// The host thread takes the quit signals and the card-reader reset with sigtimedwait, so their
// work runs on it and not in a handler.
class LinuxHost : public HostPlatform {
public:
    std::string programName() const override { return "lenvaro-server"; }
    std::string commandName() const override { return "lenvaro-server"; }
    int quitRunningInstance() override { return ::quitRunningInstance(); }
    int askForCardReaderReset() override { return ::askForCardReaderReset(); }
    int browserPolicy(BrowserPolicyAction action) override {
        return runBrowserPolicy(action, {configurationPath(moduleDirectory()), managedPolicyFolders(), geteuid() == 0},
                                std::cout, std::cerr);
    }

    void beforeServing() override {
        setInternalCodePage(localeCodePage());
        // The host's signals are taken by the host thread alone (waitForEvent); every thread
        // made from here on inherits the mask.
        sigemptyset(&hostSignals_);
        sigaddset(&hostSignals_, SIGINT);
        sigaddset(&hostSignals_, SIGTERM);
        sigaddset(&hostSignals_, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &hostSignals_, nullptr);
        signal(SIGPIPE, SIG_IGN);
        raiseDescriptorLimit();
    }

    void tell(const std::string& problem) override { std::cerr << programName() << ": " << problem << std::endl; }

    // Under systemd (which sets INVOCATION_ID) the unit's Restart= brings the service back.
    bool supervised() const override {
        const char* invocation = std::getenv("INVOCATION_ID");
        return invocation != nullptr && invocation[0] != '\0';
    }

    HostEvent waitForEvent(std::chrono::milliseconds timeout) override {
        const timespec interval{static_cast<time_t>(timeout.count() / 1000),
                                static_cast<long>(timeout.count() % 1000) * 1000 * 1000};
        const int signalNumber = sigtimedwait(&hostSignals_, nullptr, &interval);
        if (signalNumber == SIGINT || signalNumber == SIGTERM) return HostEvent::Quit;
        if (signalNumber == SIGUSR1) return HostEvent::ResetCardReader;
        return HostEvent::None;
    }

private:
    sigset_t hostSignals_{};
};

}  // namespace

int main(int argc, char** argv) {
    LinuxHost host;
    return runProgram(std::vector<std::string>(argv + 1, argv + argc), host);
}
