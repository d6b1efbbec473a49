// Atomic file replacement on Linux, with the modes users expect.
#include "common/file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace lenvaro::files {
namespace {

// Names stay within the file system's 255 bytes with the prefix and suffix added.
constexpr size_t kLongestKeptName = 200;

}  // namespace

AtomicFile::AtomicFile(std::string path, FileAccess access, const std::string& temporarySuffix)
    : path_(std::move(path)) {
    const size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash == 0 ? 1 : slash);
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        fail("the path names a folder", EISDIR);
        return;
    }

    // What the new file replaces decides its mode (documents) or whether it may be replaced at
    // all: a folder, a device or a pipe under the name is refused, not swapped for a file.
    bool replacing = false;
    mode_t keptMode = 0;
    struct stat existing {};
    if (::lstat(path_.c_str(), &existing) == 0) {
        // A link is judged by what it leads to (and is itself replaced by the new file); a link
        // leading nowhere is as good as no file.
        const bool dangling = S_ISLNK(existing.st_mode) && ::stat(path_.c_str(), &existing) != 0;
        if (!dangling && S_ISDIR(existing.st_mode)) {
            fail("the path names a folder", EISDIR);
            return;
        }
        if (!dangling && !S_ISREG(existing.st_mode)) {
            fail("the path names something other than a file", EINVAL);
            return;
        }
        replacing = !dangling;
        keptMode = existing.st_mode & 07777;
    }

    // Created with 0666 the system applies the umask itself, which is how a new document
    // should come out; private data starts at 0600 whatever the umask.
    const mode_t creationMode = access == FileAccess::Private ? 0600 : access == FileAccess::Shared ? 0644 : 0666;
    const std::string base = "." + name.substr(0, kLongestKeptName) + ".";
    const std::string suffix = temporarySuffix.empty() ? ".part" : temporarySuffix;
    for (int attempt = 0; attempt < 64 && fd_ < 0; ++attempt) {
        std::string candidate = folder + "/" + base + detail::temporaryNameTag(static_cast<unsigned long>(::getpid())) + suffix;
        fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, creationMode);
        if (fd_ >= 0) {
            temporary_ = std::move(candidate);
        } else if (errno != EEXIST) {
            fail("cannot create a file in its folder", errno);
            return;
        }
    }
    if (fd_ < 0) {
        fail("cannot create a file in its folder", EEXIST);
        return;
    }
    int modeError = 0;
    if (access != FileAccess::Document) {
        if (::fchmod(fd_, access == FileAccess::Private ? 0600 : 0644) != 0) modeError = errno;
    } else if (replacing && ::fchmod(fd_, keptMode) != 0) {
        modeError = errno;
    }
    if (modeError != 0) fail("cannot set its permissions", modeError);
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

bool AtomicFile::fail(const char* what, int errorNumber) {
    if (!failed_) error_ = "cannot write " + path_ + ": " + what + " (" + std::strerror(errorNumber) + ")";
    failed_ = true;
    return false;
}

bool AtomicFile::write(const void* data, size_t size) {
    if (failed_ || fd_ < 0) return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd_, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return fail("writing failed", errno);
        if (written == 0) return fail("writing failed", EIO);
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool AtomicFile::commit() {
    if (failed_ || fd_ < 0) return false;
    // The data reaches the disk before the name does, so a power cut leaves the old file or
    // the whole new one.
    if (::fsync(fd_) != 0) return fail("flushing failed", errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return fail("closing failed", errno);
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return fail("cannot put it in place", errno);
    temporary_.clear();
    // The new name itself, as far as the file system lets a folder be flushed.
    const size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash == 0 ? 1 : slash);
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return true;
}

}  // namespace lenvaro::files
