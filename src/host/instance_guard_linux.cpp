// Single-instance guard over an open-file-description lock.
//
// An OFD lock (not a classic POSIX record lock) belongs to the open file, not the process, so
// nothing else in the process that happens to open and close the same file can drop it. It is
// released when the last descriptor of that open file closes, which the kernel does when the
// process dies. The descriptor is close-on-exec, and the crash relaunch closes every inherited
// descriptor besides, so a relaunched copy never holds its predecessor's guard.
#include "host/instance_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/paths.h"

namespace lenvaro {
namespace {

struct flock wholeFileWriteLock() {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however long the file grows
    return lock;
}

}  // namespace

std::string defaultGuardPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/LenvaroServer.lock";
    return temporaryFolder() + "/LenvaroServer-" + std::to_string(::getuid()) + ".lock";
}

InstanceGuard::InstanceGuard(std::string lockPath) : path_(std::move(lockPath)) {}

InstanceGuard::~InstanceGuard() {
    if (fd_ >= 0) ::close(fd_);
}

InstanceGuard::Outcome InstanceGuard::tryAcquire() {
    if (held()) return Outcome::Acquired;
    if (fd_ < 0) {
        // No symbolic links, and only a file of our own: in a shared temporary folder another
        // user could otherwise lock us out or have us write into their file.
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            error_ = "cannot open the instance guard " + path_ + ": " + std::strerror(errno);
            return Outcome::Failed;
        }
        struct stat info;
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
            error_ = "the instance guard " + path_ + " is not a file of this user";
            ::close(fd_);
            fd_ = -1;
            return Outcome::Failed;
        }
    }
    struct flock lock = wholeFileWriteLock();
    if (::fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES) return Outcome::HeldByAnother;
        error_ = "cannot lock the instance guard " + path_ + ": " + std::strerror(errno);
        return Outcome::Failed;
    }
    held_ = true;
    // The holder's id, for --quit and --reset-card-reader (and for people reading the file).
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The guard holds without the id; only signalling this instance from outside suffers.
    }
    return Outcome::Acquired;
}

pid_t runningInstance(const std::string& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    pid_t pid = 0;
    // The holder writes its id just after taking the lock: give it a moment if it is not there.
    for (int attempt = 0; attempt < 20; ++attempt) {
        struct flock lock = wholeFileWriteLock();
        if (::fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) {
            pid = 0;
            break;
        }
        char text[32] = {};
        const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
        pid = got > 0 ? static_cast<pid_t>(std::atol(text)) : 0;
        if (pid > 0) break;
        pid = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
    return pid;
}

}  // namespace lenvaro
