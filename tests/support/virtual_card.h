// A model card in a vpcd virtual reader. vpcd (the reader driver pcscd loads) listens on a TCP
// port for the card; every message either way is a two-byte big-endian length and its bytes. A
// one-byte message from the reader is a control: 0 power off, 1 power on, 2 reset, 4 "send your
// ATR"; anything longer is a command APDU, answered with the response APDU. Connecting is
// inserting the card, closing the connection is taking it out.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "loopback_socket.h"
#include "model_cards.h"

namespace lenvaro::testing {

class VirtualCard {
  public:
    VirtualCard(cardmodels::ModelCard& card, uint16_t port) : card_(card), port_(port) {}
    ~VirtualCard() { remove(); }
    VirtualCard(const VirtualCard&) = delete;
    VirtualCard& operator=(const VirtualCard&) = delete;

    // Puts the card into the reader. False when the reader does not take it within `timeout`.
    bool insert(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        remove();
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const int fd = connectLoopback(port_);
            if (fd >= 0) {
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                fd_ = fd;
                commandsLeft_ = -1;
                card_.reset();
                thread_ = std::thread([this] { serve(); });
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Takes the card out of the reader.
    void remove() {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    // The card is taken out once it has answered `commands` more command APDUs: pulled out in
    // the middle of a read. Negative: never. Each insert starts with "never".
    void removeAfter(int commands) { commandsLeft_ = commands; }

  private:
    bool receiveAll(uint8_t* data, size_t size) {
        while (size > 0) {
            // vpcd writes a message's length and its bytes separately; without an immediate
            // acknowledgement the second write waits for the delayed one (40 ms a message).
            const int on = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            const ssize_t got = recv(fd_, data, size, 0);
            if (got <= 0) return false;
            data += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

    bool sendMessage(const cardmodels::Bytes& message) {
        cardmodels::Bytes framed{static_cast<uint8_t>(message.size() >> 8),
                                 static_cast<uint8_t>(message.size() & 0xFF)};
        framed.insert(framed.end(), message.begin(), message.end());
        return send(fd_, framed.data(), framed.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(framed.size());
    }

    void serve() {
        while (true) {
            uint8_t header[2];
            if (!receiveAll(header, 2)) break;
            cardmodels::Bytes message(static_cast<size_t>(header[0] << 8 | header[1]));
            if (!receiveAll(message.data(), message.size())) break;
            if (message.size() == 1) {
                if (message[0] == 1 || message[0] == 2) card_.reset();
                if (message[0] == 4 && !sendMessage(card_.atr)) break;
                continue;
            }
            if (commandsLeft_.load() == 0) break;
            if (commandsLeft_.load() > 0) --commandsLeft_;
            if (!sendMessage(card_.answer(message))) break;
        }
        // The reader learns the card is gone from the closed connection.
        shutdown(fd_, SHUT_RDWR);
    }

    cardmodels::ModelCard& card_;
    const uint16_t port_;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<int> commandsLeft_{-1};
};

}  // namespace lenvaro::testing
