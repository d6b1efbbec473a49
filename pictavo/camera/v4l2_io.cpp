// open, ioctl, mmap and poll on real video nodes.
#include "pictavo/camera/v4l2_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace pictavo {
namespace {

class SystemHandle final : public V4l2Handle {
  public:
    explicit SystemHandle(int fd) : fd_(fd) {}
    ~SystemHandle() override { ::close(fd_); }
    SystemHandle(const SystemHandle&) = delete;
    SystemHandle& operator=(const SystemHandle&) = delete;

    int control(unsigned long request, void* argument) override {
        for (;;) {
            if (::ioctl(fd_, request, argument) == 0) return 0;
            if (errno != EINTR) return errno;
        }
    }

    void* map(size_t length, int64_t offset) override {
        void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                               static_cast<off_t>(offset));
        return address == MAP_FAILED ? nullptr : address;
    }

    void unmap(void* address, size_t length) override { ::munmap(address, length); }

    int waitReadable(int timeoutMs) override {
        pollfd watched{fd_, POLLIN, 0};
        const int ready = ::poll(&watched, 1, timeoutMs);
        if (ready < 0) return errno == EINTR ? 0 : -errno;
        if (ready == 0) return 0;
        if ((watched.revents & (POLLHUP | POLLNVAL)) != 0) return -ENODEV;
        if ((watched.revents & POLLERR) != 0) return -EIO;
        return 1;
    }

  private:
    const int fd_;
};

class SystemIo final : public V4l2Io {
  public:
    std::unique_ptr<V4l2Handle> open(const std::string& path, int& error) override {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        error = 0;
        return std::make_unique<SystemHandle>(fd);
    }
};

}  // namespace

std::shared_ptr<V4l2Io> systemV4l2Io() {
    static const std::shared_ptr<V4l2Io> io = std::make_shared<SystemIo>();
    return io;
}

}  // namespace pictavo
