// fork, pipe and waitpid around one piece of work.
#include "pictavo/recognition/isolated_call.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "pictavo/status.h"

namespace pictavo {
namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The descriptor the child writes its result to, once everything else is closed.
constexpr int kChildResultFd = 3;

// Makes the forked child a bare computing process: none of its parent's signal handlers (a crash
// handler there would log a crash of the service and start a second copy of it), no signal
// blocked, and no descriptor but the standard ones and the result pipe, so that it never keeps
// the service's listening socket, its instance guard or a connection open. It dies with the
// thread that forked it, so a service that crashes during a decode leaves nothing behind.
// Only async-signal-safe calls: other threads of the parent may have held locks at the fork.
bool startClean(int resultFd, pid_t parent) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) return false;
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    ::sigemptyset(&byDefault.sa_mask);
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber != SIGKILL && signalNumber != SIGSTOP) ::sigaction(signalNumber, &byDefault, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    if (resultFd != kChildResultFd && ::dup2(resultFd, kChildResultFd) != kChildResultFd) return false;
#if defined(SYS_close_range)
    if (::syscall(SYS_close_range, kChildResultFd + 1U, ~0U, 0U) == 0) return true;
#endif
    rlimit files{};
    const int limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
                              files.rlim_cur < 1u << 20
                          ? static_cast<int>(files.rlim_cur)
                          : 1 << 20;
    for (int fd = kChildResultFd + 1; fd < limit; ++fd) ::close(fd);
    return true;
}

// In the child: never returns, never runs the parent's exit handlers or flushes its streams.
[[noreturn]] void childMain(const std::function<std::string()>& work, int fd) {
    int code = 1;
    try {
        const std::string result = work();
        const uint64_t size = result.size();
        if (writeAll(fd, reinterpret_cast<const char*>(&size), sizeof size) &&
            writeAll(fd, result.data(), result.size()))
            code = 0;
    } catch (...) {
    }
    ::_exit(code);
}

}  // namespace

int runIsolated(const std::function<std::string()>& work, std::chrono::milliseconds timeout,
                std::string& output) {
    output.clear();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return kFailed;
    Descriptor readEnd(ends[0]);
    Descriptor writeEnd(ends[1]);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) return kFailed;
    if (child == 0) {
        // SIGPIPE is back at its default too: a parent that stops reading must not leave the
        // child blocked or let it end in a way that looks like success.
        if (!startClean(writeEnd.get(), parent)) ::_exit(1);
        childMain(work, kChildResultFd);
    }
    writeEnd.reset();

    // Read everything the child writes, until it closes the pipe or time runs out.
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    char chunk[65536];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd readable{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        const ssize_t got = ::read(readEnd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        received.append(chunk, static_cast<size_t>(got));
    }
    if (timedOut) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return kFailed;

    uint64_t size = 0;
    if (received.size() < sizeof size) return kFailed;
    std::memcpy(&size, received.data(), sizeof size);
    if (received.size() - sizeof size != size) return kFailed;
    output = received.substr(sizeof size);
    return kOk;
}

}  // namespace pictavo
