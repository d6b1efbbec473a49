// The crash handler. Inside the handler only async-signal-safe calls are made: the daily log's
// write(2) path, clock_gettime, fork without the atfork handlers, sigprocmask, close, execve,
// sigaction and raise. Strings and the argument vector are built before any crash.
#include "host/crash_handler.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "common/daily_log.h"

extern char** environ;

namespace lenvaro {

const int kCrashSignals[5] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

namespace {

// What the handler reads; made once, never freed (a crash may come during static destruction).
struct CrashState {
    DailyLog* log = nullptr;
    std::string executable;
    std::vector<std::string> argumentTexts;
    std::vector<char*> argv;  // executable, arguments, null
    bool thisIsARelaunch = false;
    timespec installedAt{};
    int descriptorLimit = 1024;
};

std::atomic<CrashState*> theState{nullptr};
std::atomic<bool> restartPending{false};

// 0: no crash yet; 1: the first crashing thread is in the handler; 2: it has finished.
std::atomic<int> firstCrash{0};

constexpr size_t kMinimumSignalStack = 64 * 1024;

bool crashedSoonAfterStart(const CrashState& state) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec - state.installedAt.tv_sec < kCrashLoopWindow.count();
}

pid_t forkInsideHandler() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // fork() runs the atfork handlers, which take locks (malloc's among them) that the crashed
    // thread may hold; _Fork() does not.
    return ::_Fork();
#else
    return ::fork();
#endif
}

// In the child: nothing of the crashed process may stay open in the new copy, above all the
// listening socket (Boost.Asio opens sockets without close-on-exec) and the instance guard.
void closeInheritedDescriptors(int limit) {
#if defined(SYS_close_range)
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
    for (int fd = 3; fd < limit; ++fd) ::close(fd);
}

void relaunch(const CrashState& state) {
    const pid_t child = forkInsideHandler();
    if (child != 0) return;  // the crashing process, whether the fork worked or not
    // The new copy must not start with the crash signal (blocked in this handler) or the
    // host's quit signals blocked: execve keeps the mask.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    closeInheritedDescriptors(state.descriptorLimit);
    ::execve(state.executable.c_str(), state.argv.data(), environ);
    ::_exit(127);
}

void crashHandler(int signalNumber, siginfo_t*, void*) {
    const int savedErrno = errno;
    CrashState* state = theState.load();

    int expected = 0;
    const bool firstThread = firstCrash.compare_exchange_strong(expected, 1);
    if (!firstThread) {
        // Another thread crashed first: let it log and relaunch before this one ends the
        // process.
        for (int waited = 0; firstCrash.load() != 2 && waited < 500; ++waited) {
            const timespec pause{0, 10 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
    }

    if (state != nullptr) {
        state->log->writeLine("GenerateMiniDump");
        if (restartPending.exchange(false)) {
            if (state->thisIsARelaunch && crashedSoonAfterStart(*state)) {
                state->log->writeLine("relaunch skipped: the relaunched copy crashed right after its start");
            } else {
                state->log->writeLine(state->executable.c_str());
                relaunch(*state);
            }
        }
    }
    if (firstThread) firstCrash.store(2);

    // Die of this signal with its default action (a core dump where the system keeps them).
    // The raised signal stays pending until the handler returns; a fault that came from the
    // code itself would also recur there.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    ::sigemptyset(&defaultAction.sa_mask);
    ::sigaction(signalNumber, &defaultAction, nullptr);
    ::raise(signalNumber);
    errno = savedErrno;
}

}  // namespace

void installCrashHandler(DailyLog& log, const CrashRelaunch& relaunch) {
    auto* state = new CrashState;
    state->log = &log;
    state->executable = relaunch.executable;
    state->argumentTexts = relaunch.arguments;
    state->argv.push_back(state->executable.data());
    for (std::string& argument : state->argumentTexts) state->argv.push_back(argument.data());
    state->argv.push_back(nullptr);
    state->thisIsARelaunch = relaunch.thisIsARelaunch;
    ::clock_gettime(CLOCK_MONOTONIC, &state->installedAt);
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        state->descriptorLimit = files.rlim_cur > INT_MAX ? INT_MAX : static_cast<int>(files.rlim_cur);
    }
    restartPending.store(relaunch.enabled && !relaunch.executable.empty());
    theState.store(state);

    struct sigaction action {};
    action.sa_sigaction = crashHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // Nothing else interrupts the handler once it runs.
    ::sigfillset(&action.sa_mask);
    for (const int signalNumber : kCrashSignals) ::sigaction(signalNumber, &action, nullptr);
}

void cancelCrashRelaunch() { restartPending.store(false); }

bool crashRelaunchPending() { return restartPending.load(); }

bool waitForCrashedCopy(long crashedProcessId, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (static_cast<long>(::getppid()) == crashedProcessId) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        const timespec pause{0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    return true;
}

long currentProcessId() { return static_cast<long>(::getpid()); }

std::string executablePath() {
    char path[PATH_MAX + 1];
    const ssize_t length = ::readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0) return "";
    return std::string(path, static_cast<size_t>(length));
}

AlternateSignalStack::AlternateSignalStack() {
    size_t size = kMinimumSignalStack;
    const long systemMinimum = ::sysconf(_SC_SIGSTKSZ);
    if (systemMinimum > 0 && static_cast<size_t>(systemMinimum) > size) size = static_cast<size_t>(systemMinimum);
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size = (size + page - 1) / page * page;
    // One inaccessible page below the stack: an overflow of the handler itself faults instead
    // of writing over whatever lies beneath.
    mappingSize_ = size + page;
    void* mapping = ::mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return;
    mapping_ = mapping;
    ::mprotect(mapping_, page, PROT_NONE);
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(mapping_) + page;
    stack.ss_size = size;
    stack.ss_flags = 0;
    installed_ = ::sigaltstack(&stack, nullptr) == 0;
}

AlternateSignalStack::~AlternateSignalStack() {
    if (mapping_ == nullptr) return;
    if (installed_) {
        stack_t disabled{};
        disabled.ss_flags = SS_DISABLE;
        ::sigaltstack(&disabled, nullptr);
    }
    ::munmap(mapping_, mappingSize_);
}

}  // namespace lenvaro
