// Process entry on Linux. Serving (host/service_host) with the host thread waiting for the quit
// signals and the card-reader reset, and the icon in the desktop's tray; --quit and
// --reset-card-reader signal the running instance instead.
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/code_page.h"
#include "common/paths.h"
#include "host/browser_policy.h"
#include "host/config_reader.h"
#include "host/instance_guard.h"
#include "host/service_host.h"
#include "host/status_notifier.h"
#include "host/tray_view.h"

using namespace lenvaro;

namespace {

// How long --quit waits for the running instance to end: it does within five seconds whatever
// it was doing (see service_host.h); the rest is slack for a machine under load.
constexpr auto kQuitPatience = std::chrono::seconds(15);

// --quit and --reset-card-reader: the running instance, or 0 after telling the user why not.
pid_t runningInstanceOrComplain() {
    const std::string guardPath = defaultGuardPath();
    std::string refusal;
    const pid_t pid = runningInstance(guardPath, &refusal);
    if (pid == 0) {
        std::cerr << "lenvaro-server: no instance is running (" << guardPath << " is not held)\n";
    } else if (pid < 0 && !refusal.empty()) {
        std::cerr << "lenvaro-server: " << refusal << "; nothing is signalled\n";
        return 0;
    } else if (pid < 0) {
        std::cerr << "lenvaro-server: an instance holds " << guardPath << " but its process id cannot be read\n";
        return 0;
    } else if (!runsThisProgram(pid)) {
        std::cerr << "lenvaro-server: process " << pid << " named in " << guardPath
                  << " does not run this program; nothing is signalled\n";
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

// A second start says so where the user looks: a desktop notification when the desktop takes
// one, and standard error when nothing did or someone reads it in a terminal.
void tellAlreadyRunningOnDesktop() {
    const bool chinese = trayLanguageOfThisProcess() == TrayLanguage::Chinese;
    const std::string summary = chinese ? "Lenvaro Server 已在运行" : "Lenvaro Server is already running";
    const std::string body = chinese ? "本桌面会话中只运行一个实例；它的图标在面板的托盘里。"
                                     : "One instance runs per desktop session; its icon is in the panel's tray.";
    const bool notified = showDesktopNotification(summary, body);
    if (!notified || isatty(STDERR_FILENO)) {
        std::cerr << "lenvaro-server: another instance is already running (" << defaultGuardPath() << " is held)"
                  << std::endl;
    }
}

// The host thread takes the quit signals and the card-reader reset with sigtimedwait, so their
// work runs on it and not in a handler. The tray's menu raises the same signals.
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
        // Wakes the tray's thread when the service's state changes; written from any thread,
        // never blocking, and kept for the life of the process.
        statusChanged_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }

    void tellAlreadyRunning() override { tellAlreadyRunningOnDesktop(); }

    void statusChanged() override {
        if (statusChanged_ >= 0) eventfd_write(statusChanged_, 1);
    }

    bool showStatus(const ServiceStatus& status) override {
        if (statusChanged_ < 0) return false;
        std::string problem;
        // "Quit" and "Re-initialise the card reader" ask exactly as SIGTERM and SIGUSR1 from
        // outside do, so they take the same road on the host thread.
        tray_ = StatusNotifierTray::start(status, statusChanged_,
                                          {[] { ::kill(getpid(), SIGUSR1); }, [] { ::kill(getpid(), SIGTERM); }},
                                          problem);
        // Without a session bus (a console, a service without a desktop) there is simply no icon.
        return tray_ != nullptr && tray_->watcherWasPresent();
    }

    // The icon goes first: the user sees the service is quitting.
    void stopWaiting() override { tray_.reset(); }

    void tell(const std::string& problem) override { std::cerr << programName() << ": " << problem << std::endl; }

    // Under systemd (which sets INVOCATION_ID) the unit's Restart= brings the service back.
    bool supervised() const override {
        const char* invocation = std::getenv("INVOCATION_ID");
        return invocation != nullptr && invocation[0] != '\0';
    }

    [[noreturn]] void endNow(int status) override {
        std::cout.flush();
        std::cerr.flush();
        _exit(status);
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
    int statusChanged_ = -1;
    std::unique_ptr<StatusNotifierTray> tray_;
};

}  // namespace

int main(int argc, char** argv) {
    LinuxHost host;
    return runProgram(std::vector<std::string>(argv + 1, argv + argc), host);
}
