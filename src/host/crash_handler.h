// The last-chance crash handler: on a fatal signal it writes "GenerateMiniDump" and the
// executable's path to the daily log, starts the same executable once, and lets the process die
// of the signal.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace lenvaro {

class DailyLog;

// The signals treated as a crash.
extern const int kCrashSignals[5];  // SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT

// A relaunched copy that crashes this soon after it started does not start another: a service
// that cannot get through its start would otherwise crash and relaunch for ever.
constexpr std::chrono::seconds kCrashLoopWindow{30};

struct CrashRelaunch {
    // Whether a crash starts a new copy at all (restartPending's first value). Off under a
    // supervisor that restarts the service itself, or with --no-relaunch.
    bool enabled = true;
    std::string executable;              // started with execve, so an absolute path
    std::vector<std::string> arguments;  // after argv[0]
    bool thisIsARelaunch = false;        // this process was started by a crash handler
};

// Installs the handler for the crash signals, process-wide. Everything the handler needs (the
// log, the path and arguments, the descriptor limit) is prepared here, so that the handler
// itself only makes system calls. Call once, from ordinary code, before other threads start.
void installCrashHandler(DailyLog& log, const CrashRelaunch& relaunch);

// Clears restartPending: from now on a crash is logged but starts no copy. The host calls it
// when it begins to quit, so a crash while closing down does not bring the service back.
void cancelCrashRelaunch();

// restartPending: true until the first crash (or cancelCrashRelaunch).
bool crashRelaunchPending();

// In a copy started by the crash handler: waits until the crashed copy, whose process id it was
// given, has ended. On Linux that copy is this one's parent until it dies, and by the time the
// system hands its children to another parent it has closed every descriptor, the instance
// guard and the listening socket among them. On Windows the process of that id is waited for
// when it was started before this one (a later process under a reused id is not it). True once
// it has ended (or was never this process's parent); false when it still runs after `patience`
// (a core dump being written can take a while).
bool waitForCrashedCopy(long crashedProcessId, std::chrono::milliseconds patience);

// The absolute path of the running executable (/proc/self/exe).
std::string executablePath();

// This process's id, as the copy a crash starts is given it (--relaunched=<id>).
long currentProcessId();

// A signal stack for the calling thread, so that the handler can run after a stack overflow.
// Each thread that may overflow its stack needs one of its own; a thread without one runs the
// handler on its ordinary stack. Removed (and freed) when the owner goes, on the same thread.
class AlternateSignalStack {
public:
    AlternateSignalStack();
    ~AlternateSignalStack();
    AlternateSignalStack(const AlternateSignalStack&) = delete;
    AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;

    bool installed() const { return installed_; }

private:
    void* mapping_ = nullptr;
    size_t mappingSize_ = 0;
    bool installed_ = false;
};

}  // namespace lenvaro
