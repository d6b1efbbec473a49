// Servers for upload tests, on 127.0.0.1 only, started and stopped by the test and bounded in
// time: a small HTTP server that records each request and answers as told, a listener that
// accepts and never answers, and an FTP server (pyftpdlib from Debian's python3-pyftpdlib).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loopback_socket.h"

namespace upload_test {

inline std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

using lenvaro::testing::freePort;
using lenvaro::testing::listenOnLoopback;

struct Part {
    std::string name;
    std::optional<std::string> fileName;
    std::string contentType;
    std::string data;
};

struct Request {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const {
        for (const auto& [key, value] : headers) {
            if (key == name) return value;
        }
        return "";
    }

    // The parts of a multipart/form-data body, in order; empty when it is no such body.
    std::vector<Part> parts() const {
        std::vector<Part> found;
        const std::string type = header("content-type");
        const size_t at = type.find("boundary=");
        if (lowerCase(type).rfind("multipart/form-data", 0) != 0 || at == std::string::npos)
            return found;
        std::string boundary = type.substr(at + 9);
        if (!boundary.empty() && boundary.front() == '"')
            boundary = boundary.substr(1, boundary.find('"', 1) - 1);
        const std::string delimiter = "--" + boundary;
        size_t position = body.find(delimiter);
        while (position != std::string::npos) {
            position += delimiter.size();
            if (body.compare(position, 2, "--") == 0) break;  // the closing delimiter
            position += 2;                                    // CRLF after the delimiter
            const size_t headEnd = body.find("\r\n\r\n", position);
            const size_t next = body.find("\r\n" + delimiter, position);
            if (headEnd == std::string::npos || next == std::string::npos || headEnd > next) break;
            Part part;
            const std::string head = body.substr(position, headEnd - position);
            part.data = body.substr(headEnd + 4, next - headEnd - 4);
            for (size_t start = 0; start < head.size();) {
                size_t end = head.find("\r\n", start);
                if (end == std::string::npos) end = head.size();
                const std::string line = head.substr(start, end - start);
                const std::string lower = lowerCase(line);
                if (lower.rfind("content-type:", 0) == 0) {
                    part.contentType = line.substr(13);
                    while (!part.contentType.empty() && part.contentType.front() == ' ')
                        part.contentType.erase(0, 1);
                } else if (lower.rfind("content-disposition:", 0) == 0) {
                    part.name = quotedParameter(line, "name");
                    if (line.find("filename=") != std::string::npos)
                        part.fileName = quotedParameter(line, "filename");
                }
                start = end + 2;
            }
            found.push_back(part);
            position = next + 2;
        }
        return found;
    }

  private:
    // The value of key="..." in a header line (curl escapes no characters our tests use).
    static std::string quotedParameter(const std::string& line, const std::string& key) {
        size_t at = 0;
        while ((at = line.find(key + "=\"", at)) != std::string::npos) {
            if (at == 0 || line[at - 1] == ' ' || line[at - 1] == ';') break;
            ++at;
        }
        if (at == std::string::npos) return "";
        const size_t start = at + key.size() + 2;
        return line.substr(start, line.find('"', start) - start);
    }
};

// Answers every request with the status and body it was given, one connection at a time, and
// keeps what it received. With `silent`, it accepts connections and never answers.
class HttpServer {
  public:
    explicit HttpServer(int status = 200, std::string answer = "", bool silent = false)
        : status_(status), answer_(std::move(answer)), silent_(silent) {
        listener_ = listenOnLoopback(port_);
        if (listener_ >= 0) thread_ = std::thread([this] { run(); });
    }
    ~HttpServer() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
    }
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/upload") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<Request> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    int connections() const { return connections_; }

  private:
    // Every wait is short, and the whole life of a connection is bounded, so a test that goes
    // wrong cannot hang here.
    void run() {
        while (!stopping_) {
            pollfd ready{listener_, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) continue;
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++connections_;
            if (silent_) {
                holdUntilStopped(client);
            } else {
                serve(client);
            }
            close(client);
        }
    }

    void holdUntilStopped(int client) {
        char sink[4096];
        while (!stopping_) {
            pollfd readable{client, POLLIN, 0};
            if (poll(&readable, 1, 50) > 0 && read(client, sink, sizeof sink) <= 0) return;
        }
    }

    // Reads until `done` says the text is complete; false on close, error or after 10 seconds.
    template <typename Done>
    bool readUntil(int client, std::string& text, Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        char buffer[65536];
        while (!done()) {
            if (stopping_ || std::chrono::steady_clock::now() > deadline) return false;
            pollfd readable{client, POLLIN, 0};
            if (poll(&readable, 1, 50) <= 0) continue;
            const ssize_t got = read(client, buffer, sizeof buffer);
            if (got <= 0) return false;
            text.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    void serve(int client) {
        std::string text;
        size_t headEnd = std::string::npos;
        if (!readUntil(client, text,
                       [&] { return (headEnd = text.find("\r\n\r\n")) != std::string::npos; }))
            return;
        Request request;
        const std::string head = text.substr(0, headEnd);
        size_t lineEnd = head.find("\r\n");
        const std::string first = head.substr(0, lineEnd);
        request.method = first.substr(0, first.find(' '));
        request.target = first.substr(first.find(' ') + 1, first.rfind(' ') - first.find(' ') - 1);
        while (lineEnd != std::string::npos) {
            const size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line = head.substr(
                start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') value.erase(0, 1);
            request.headers.emplace_back(lowerCase(line.substr(0, colon)), value);
        }
        if (lowerCase(request.header("expect")) == "100-continue") {
            const std::string proceed = "HTTP/1.1 100 Continue\r\n\r\n";
            if (write(client, proceed.data(), proceed.size()) < 0) return;
        }
        const size_t length = std::strtoul(request.header("content-length").c_str(), nullptr, 10);
        std::string body = text.substr(headEnd + 4);
        if (!readUntil(client, body, [&] { return body.size() >= length; })) return;
        request.body = body.substr(0, length);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        const std::string reply = "HTTP/1.1 " + std::to_string(status_) +
                                  " Status\r\nContent-Type: application/json\r\n"
                                  "Content-Length: " +
                                  std::to_string(answer_.size()) + "\r\nConnection: close\r\n\r\n" +
                                  answer_;
        size_t sent = 0;
        while (sent < reply.size()) {
            const ssize_t put =
                send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (put <= 0) return;
            sent += static_cast<size_t>(put);
        }
    }

    const int status_;
    const std::string answer_;
    const bool silent_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::thread thread_;
};

// pyftpdlib serving `root` to one user on 127.0.0.1, ending by itself after a minute at most.
class FtpServer {
  public:
    FtpServer(const std::string& root, const std::string& user, const std::string& password) {
        static const char* const script = R"PY(
import logging, sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.disable(logging.CRITICAL)
root, user, password, limit = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
FTPHandler.authorizer = authorizer
FTPHandler.auth_failed_timeout = 0.05  # the default waits 3 s after each refused login
server = FTPServer(("127.0.0.1", 0), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
deadline = time.monotonic() + limit
while time.monotonic() < deadline:
    server.serve_forever(timeout=0.1, blocking=False, handle_exit=False)
server.close_all()
)PY";
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            // Debian's interpreter, which has Debian's python3-pyftpdlib.
            execl("/usr/bin/python3", "python3", "-c", script, root.c_str(), user.c_str(),
                  password.c_str(), "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd readable{out[0], POLLIN, 0};
            if (poll(&readable, 1, 100) <= 0) continue;
            char buffer[64];
            const ssize_t got = read(out[0], buffer, sizeof buffer);
            if (got <= 0) break;
            line.append(buffer, static_cast<size_t>(got));
        }
        close(out[0]);
        port_ = static_cast<uint16_t>(std::atoi(line.c_str()));
    }
    ~FtpServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // 0 when the server did not start (python3-pyftpdlib missing: scripts/setup installs it).
    uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

}  // namespace upload_test
