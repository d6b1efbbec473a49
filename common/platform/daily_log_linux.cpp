// The daily log's file, written with open(2)/write(2) only, so that a crash handler can use it.
#include "common/daily_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lenvaro {

namespace detail {

timespec realtimeNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

void writeLogBytes(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // write errors are ignored, as for any log line
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void sleepTenMilliseconds() {
    const timespec pause{0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
}

}  // namespace detail

long utcOffsetAt(time_t when) {
    tm local{};
    if (localtime_r(&when, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

DailyLog::~DailyLog() {
    const int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

int DailyLog::openFile() {
    // The temporary folder may be shared with other users. The folder must be ours and the
    // file a plain file reached without a symbolic link, so nobody can steer our lines into a
    // file of their choosing.
    ::mkdir(folder_.c_str(), 0700);
    const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return -1;
    struct stat info;
    if (::fstat(dir, &info) != 0 || info.st_uid != ::geteuid()) {
        ::close(dir);
        return -1;
    }
    const timespec now = detail::realtimeNow();
    char name[32];
    formatLogFileName(name, sizeof name, localTimeAt(now, utcOffset_.load()));
    const int fd = ::openat(dir, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    ::close(dir);
    if (fd < 0) return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace lenvaro
