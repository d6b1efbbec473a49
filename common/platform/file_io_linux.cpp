// File operations on POSIX descriptors.
#include "common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace lenvaro {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool isRegular(int fd, struct stat& info) { return fstat(fd, &info) == 0 && S_ISREG(info.st_mode); }

void setError(std::string* error, const char* text) {
    if (error != nullptr) *error = text;
}

}  // namespace

bool pathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool regularFileSize(const std::string& path, uint64_t& size) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool makeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

std::string resolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

void keepFromChildProcesses(uintptr_t nativeHandle) {
    const int descriptor = static_cast<int>(nativeHandle);
    const int flags = fcntl(descriptor, F_GETFD);
    if (flags >= 0) fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
}

const bool kReuseListenAddress = true;

void prepareListeningSocket(uintptr_t nativeHandle) { keepFromChildProcesses(nativeHandle); }

FILE* openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool readRegularFile(const std::string& path, std::string& bytes) {
    // Non-blocking, so that a named pipe never holds the caller.
    const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (file.get() < 0 || !isRegular(file.get(), info)) return false;
    // Read in one go into a buffer of the file's size (preview frames come through here at
    // camera rate); a file that grows meanwhile is read to its end all the same.
    bytes.assign(static_cast<size_t>(info.st_size) + 1, '\0');
    size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
        const ssize_t got = read(file.get(), &bytes[filled], bytes.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    bytes.resize(filled);
    return true;
}

bool readRegularFileStart(const std::string& path, uint8_t* buffer, size_t count) {
    if (path.empty()) return false;
    const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (file.get() < 0 || !isRegular(file.get(), info)) return false;
    size_t got = 0;
    while (got < count) {
        const ssize_t n = read(file.get(), buffer + got, count - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool writeFileBytes(const std::string& path, const void* bytes, size_t count, std::string* error) {
    Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (file.get() < 0) {
        setError(error, std::strerror(errno));
        return false;
    }
    const auto* data = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        const ssize_t written = write(file.get(), data, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            setError(error, std::strerror(errno));
            return false;
        }
        data += written;
        count -= static_cast<size_t>(written);
    }
    if (close(file.release()) != 0) {
        setError(error, std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace lenvaro
