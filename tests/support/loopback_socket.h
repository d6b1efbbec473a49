// Plain TCP on 127.0.0.1 for tests that speak to a server below WebSocket: a port nothing
// listens on, a listening socket on a port the system chose, a connection, and one raw
// request/answer exchange. Every wait has a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace lenvaro::testing {

inline sockaddr_in loopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A socket listening on 127.0.0.1 at a port the system chose (stored in `port`); -1 when none
// could be made.
inline int listenOnLoopback(uint16_t& port, int backlog = 8) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A port on 127.0.0.1 that nothing listens on right now (the system's choice, bound and closed
// again), for a server that must be told its port or a client that must find nobody there.
// Another program may take it before the test does; the system hands such ports out in turn
// from a large range, so that is rare. 0 when the system gave none.
inline uint16_t freePort() {
    uint16_t port = 0;
    const int fd = listenOnLoopback(port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}

// A connected socket to 127.0.0.1:port (close-on-exec, so that servers the test starts do not
// inherit it); -1 when the connection was refused.
inline int connectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in address = loopbackAddress(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends `request` as it is and returns everything the server answers until it closes the
// connection or `timeout` passes; empty when no connection could be made.
inline std::string exchangeOnLoopback(uint16_t port, const std::string& request,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const int fd = connectLoopback(port);
    if (fd < 0) return "";
    std::string answer;
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, 200) <= 0) continue;
            char buffer[65536];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0) break;
            answer.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    return answer;
}

// An HTTP answer taken apart: the status line, the header lines as sent, and the body.
struct HttpResponse {
    std::string statusLine;
    std::string headers;  // one per line, CR LF between them
    std::string body;

    // The value of the first header called `name` (exact case), empty when there is none.
    std::string header(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        const size_t at = ("\r\n" + headers).find(key);
        if (at == std::string::npos) return "";
        const size_t start = at + key.size() - 2;
        return headers.substr(start, headers.find("\r\n", start) - start);
    }
};

// One raw HTTP request over a fresh connection; an empty response when no complete head came.
inline HttpResponse httpExchange(uint16_t port, const std::string& request) {
    const std::string answer = exchangeOnLoopback(port, request);
    HttpResponse response;
    const size_t lineEnd = answer.find("\r\n");
    const size_t headEnd = answer.find("\r\n\r\n");
    if (lineEnd == std::string::npos || headEnd == std::string::npos) return response;
    response.statusLine = answer.substr(0, lineEnd);
    response.headers = answer.substr(lineEnd + 2, headEnd - lineEnd - 2);
    response.body = answer.substr(headEnd + 4);
    return response;
}

inline HttpResponse httpGet(uint16_t port, const std::string& resource) {
    return httpExchange(port, "GET " + resource + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

}  // namespace lenvaro::testing
