// termios and poll around one serial port.
#include "pictavo/cards/sam_serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pictavo {
namespace {

int millisecondsUntil(SteadyTime deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    // Round up, so that a deadline less than a millisecond away is still waited for.
    return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

class SerialSamLink final : public SamLink {
  public:
    explicit SerialSamLink(int fd) : fd_(fd) {}
    ~SerialSamLink() override {
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    SerialSamLink(const SerialSamLink&) = delete;
    SerialSamLink& operator=(const SerialSamLink&) = delete;

    bool send(const Bytes& frame, SteadyTime deadline) override {
        size_t sent = 0;
        while (sent < frame.size() && !gone_) {
            const ssize_t written = ::write(fd_, frame.data() + sent, frame.size() - sent);
            if (written > 0) {
                sent += static_cast<size_t>(written);
                continue;
            }
            if (written < 0 && errno == EINTR) continue;
            if (written < 0 && errno != EAGAIN) {
                noteError(errno);
                return false;
            }
            pollfd writable{fd_, POLLOUT, 0};
            const int ready = ::poll(&writable, 1, millisecondsUntil(deadline));
            if (ready == 0) return false;
            if (ready > 0 && (writable.revents & (POLLHUP | POLLERR | POLLNVAL))) gone_ = true;
        }
        return sent == frame.size();
    }

    void receive(Bytes& received, SteadyTime deadline) override {
        while (!gone_) {
            uint8_t chunk[512];
            const ssize_t got = ::read(fd_, chunk, sizeof chunk);
            if (got > 0) {
                received.insert(received.end(), chunk, chunk + got);
                return;
            }
            if (got == 0) {
                gone_ = true;  // hung up
                return;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN) {
                noteError(errno);
                return;
            }
            pollfd readable{fd_, POLLIN, 0};
            const int ready = ::poll(&readable, 1, millisecondsUntil(deadline));
            if (ready == 0) return;
            if (ready > 0 && !(readable.revents & POLLIN) &&
                (readable.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                gone_ = true;
            }
        }
    }

    void discardInput() override { ::tcflush(fd_, TCIFLUSH); }

    bool gone() const override { return gone_; }

  private:
    // A port whose device was unplugged answers EIO (or ENODEV, ENXIO) from then on.
    void noteError(int error) {
        if (error == EIO || error == ENODEV || error == ENXIO || error == EBADF) gone_ = true;
    }

    const int fd_;
    bool gone_ = false;
};

}  // namespace

std::unique_ptr<SamLink> openSerialSamLink(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    termios line{};
    if (!::isatty(fd) || ::tcgetattr(fd, &line) != 0) {
        error = path + ": not a serial port";
        ::close(fd);
        return nullptr;
    }
    ::cfmakeraw(&line);
    ::cfsetispeed(&line, B115200);
    ::cfsetospeed(&line, B115200);
    line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    line.c_cflag |= CS8 | CLOCAL | CREAD;
    // With VMIN 0 a read of an empty line answers 0, which is also how a hung-up line answers;
    // with VMIN 1 (and O_NONBLOCK) an empty line answers EAGAIN, and 0 means hung up.
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &line) != 0) {
        error = path + ": the line cannot be set up: " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    // The module answers one program at a time: keep others (a second service, a modem
    // prober) off the port while it is ours.
    ::ioctl(fd, TIOCEXCL);
    ::tcflush(fd, TCIOFLUSH);
    return std::make_unique<SerialSamLink>(fd);
}

}  // namespace pictavo
