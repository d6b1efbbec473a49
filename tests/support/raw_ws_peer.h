// A WebSocket peer written by hand over a plain socket, for tests that need what a well-behaved
// client library will not do: chosen Host and Origin headers, frame headers announcing more
// than is sent, garbage, connections left half-way. Loopback only; every wait has a deadline.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "loopback_socket.h"

namespace lenvaro::testing {

class RawWsPeer {
public:
    struct Frame {
        int opcode = 0;  // 1 text, 2 binary, 8 close, 9 ping, 10 pong
        std::string payload;
        // The status code of a close frame, 0 when it carries none.
        int closeCode() const {
            if (opcode != 8 || payload.size() < 2) return 0;
            return static_cast<unsigned char>(payload[0]) << 8 | static_cast<unsigned char>(payload[1]);
        }
    };

    RawWsPeer() = default;
    RawWsPeer(const RawWsPeer&) = delete;
    RawWsPeer& operator=(const RawWsPeer&) = delete;
    ~RawWsPeer() { closeSocket(); }

    // A TCP connection to 127.0.0.1:port.
    bool connectTcp(uint16_t port) {
        closeSocket();
        fd_ = connectLoopback(port);
        if (fd_ < 0) return false;
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return true;
    }

    // The upgrade request with the given Host and Origin (none when empty).
    static std::string upgradeRequest(const std::string& host, const std::string& origin = "") {
        std::string request = "GET / HTTP/1.1\r\nHost: " + host +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
        if (!origin.empty()) request += "Origin: " + origin + "\r\n";
        return request + "\r\n";
    }

    // Sends the upgrade request and returns the HTTP status of the answer (101 when the
    // connection is now a WebSocket), or 0 when none came within the timeout.
    int handshake(uint16_t port, const std::string& origin = "",
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return handshakeAs("127.0.0.1:" + std::to_string(port), origin, timeout);
    }
    int handshakeAs(const std::string& host, const std::string& origin = "",
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        if (!sendAll(upgradeRequest(host, origin))) return 0;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!readMore(deadline)) return 0;
        }
        lastResponse_ = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        // "HTTP/1.1 101 Switching Protocols"
        const size_t space = lastResponse_.find(' ');
        return space == std::string::npos ? 0 : std::atoi(lastResponse_.c_str() + space + 1);
    }
    const std::string& lastResponse() const { return lastResponse_; }

    // A masked frame, as a client must send it.
    static std::string clientFrame(int opcode, const std::string& payload) {
        std::string frame = clientFrameHeader(opcode, payload.size());
        const std::string key = frame.substr(frame.size() - 4);
        frame.reserve(frame.size() + payload.size());
        for (size_t i = 0; i < payload.size(); ++i) frame.push_back(static_cast<char>(payload[i] ^ key[i % 4]));
        return frame;
    }
    // The header of a final masked frame announcing `length` payload bytes (mask key included).
    static std::string clientFrameHeader(int opcode, uint64_t length) {
        std::string header;
        header.push_back(static_cast<char>(0x80 | opcode));
        if (length < 126) {
            header.push_back(static_cast<char>(0x80 | length));
        } else if (length <= 0xffff) {
            header.push_back(static_cast<char>(0x80 | 126));
            for (int shift = 8; shift >= 0; shift -= 8) header.push_back(static_cast<char>(length >> shift));
        } else {
            header.push_back(static_cast<char>(0x80 | 127));
            for (int shift = 56; shift >= 0; shift -= 8) header.push_back(static_cast<char>(length >> shift));
        }
        header += std::string("\x12\x34\x56\x78", 4);
        return header;
    }

    bool sendText(const std::string& text) { return sendAll(clientFrame(1, text)); }
    // A close frame with the normal status.
    bool sendClose() { return sendAll(clientFrame(8, std::string("\x03\xe8", 2))); }

    bool sendAll(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Sends what the socket takes before the deadline without blocking past it; the bytes sent.
    size_t sendUntil(const std::string& bytes, std::chrono::steady_clock::time_point deadline) {
        size_t sent = 0;
        while (sent < bytes.size() && std::chrono::steady_clock::now() < deadline) {
            pollfd writable{fd_, POLLOUT, 0};
            if (::poll(&writable, 1, 50) <= 0) continue;
            if (writable.revents & (POLLERR | POLLHUP)) break;
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        return sent;
    }

    // The next frame from the server, or nothing when none is complete within the timeout or
    // the connection ended.
    std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (std::optional<Frame> frame = takeFrame()) return frame;
            if (!readMore(deadline)) return std::nullopt;
        }
    }

    // The next text frame that does not start with `skipPrefix` (preview pushes), or nothing.
    std::optional<std::string> readText(const std::string& skipPrefix = "$*$",
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            std::optional<Frame> frame = readFrame(left);
            if (!frame) return std::nullopt;
            if (frame->opcode == 8) return std::nullopt;
            if (frame->opcode != 1) continue;
            if (!skipPrefix.empty() && frame->payload.rfind(skipPrefix, 0) == 0) {
                ++skipped_;
                continue;
            }
            return frame->payload;
        }
        return std::nullopt;
    }
    // Frames passed over by readText.
    size_t skipped() const { return skipped_; }

    // Whether the server ended the connection (end of file or reset) within the timeout; data
    // arriving meanwhile is read and thrown away.
    bool endedByServer(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (readMore(deadline)) buffer_.clear();
        return ended_;
    }

    // Closes with a reset instead of an orderly shutdown: the server sees the peer vanish.
    void abort() {
        if (fd_ < 0) return;
        const linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        closeSocket();
    }

    void closeSocket() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
        ended_ = false;
    }

    int fd() const { return fd_; }

    // From now on takes at most this many bytes a second from the socket, as a page that reads
    // steadily but not at loopback speed (0: as fast as they come).
    void readAtMost(size_t bytesPerSecond) { readPace_ = bytesPerSecond; }

private:
    // Reads what arrives before the deadline into buffer_; false on timeout, end or error.
    bool readMore(std::chrono::steady_clock::time_point deadline) {
        if (fd_ < 0 || ended_) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd readable{fd_, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[65536];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) {
            ended_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(got));
        if (readPace_ != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(static_cast<size_t>(got) * 1000000 / readPace_));
        return true;
    }

    // One complete unmasked server frame from the front of buffer_, if there is one.
    std::optional<Frame> takeFrame() {
        if (buffer_.size() < 2) return std::nullopt;
        const auto byte = [this](size_t i) { return static_cast<unsigned char>(buffer_[i]); };
        size_t at = 2;
        uint64_t length = byte(1) & 0x7f;
        if (length == 126) {
            if (buffer_.size() < 4) return std::nullopt;
            length = static_cast<uint64_t>(byte(2)) << 8 | byte(3);
            at = 4;
        } else if (length == 127) {
            if (buffer_.size() < 10) return std::nullopt;
            length = 0;
            for (size_t i = 2; i < 10; ++i) length = length << 8 | byte(i);
            at = 10;
        }
        if (buffer_.size() - at < length) return std::nullopt;
        Frame frame;
        frame.opcode = byte(0) & 0x0f;
        frame.payload = buffer_.substr(at, static_cast<size_t>(length));
        buffer_.erase(0, at + static_cast<size_t>(length));
        return frame;
    }

    int fd_ = -1;
    std::string buffer_;
    std::string lastResponse_;
    bool ended_ = false;
    size_t skipped_ = 0;
    size_t readPace_ = 0;
};

}  // namespace lenvaro::testing
