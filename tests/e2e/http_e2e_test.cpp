// Plain HTTP on the service's port: the demo page under /demo/, GET /status, and the default
// answer for everything else, on the real executable in a private copy of the installed layout.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

struct HttpResponse {
    std::string statusLine;
    std::string headers;  // as sent, one per line
    std::string body;
    std::string header(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        const size_t at = ("\r\n" + headers).find(key);
        if (at == std::string::npos) return "";
        const size_t start = at + key.size() - 2;
        return headers.substr(start, headers.find("\r\n", start) - start);
    }
};

// Sends one raw request and reads the answer until the service closes the connection.
HttpResponse httpExchange(uint16_t port, const std::string& request) {
    HttpResponse response;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
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
    const size_t lineEnd = answer.find("\r\n");
    const size_t headEnd = answer.find("\r\n\r\n");
    if (lineEnd == std::string::npos || headEnd == std::string::npos) return response;
    response.statusLine = answer.substr(0, lineEnd);
    response.headers = answer.substr(lineEnd + 2, headEnd - lineEnd - 2);
    response.body = answer.substr(headEnd + 4);
    return response;
}

HttpResponse get(uint16_t port, const std::string& resource) {
    return httpExchange(port, "GET " + resource + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

std::string builtDemoFolder() {
    const std::string executable = LENVARO_SERVER_EXECUTABLE;
    return executable.substr(0, executable.rfind('/')) + "/../share/lenvaro-server/web/demo";
}

class DemoOverHttp : public ::testing::Test {
protected:
    void SetUp() override {
        // The installed layout: <prefix>/bin/lenvaro-server, <prefix>/share/lenvaro-server/web/demo.
        const std::string share = server_.root().file("share/lenvaro-server/web");
        ASSERT_EQ(std::system(("mkdir -p '" + share + "' && cp -R '" + builtDemoFolder() + "' '" + share + "/'").c_str()), 0);
        port_ = server_.start();
        ASSERT_NE(port_, 0) << server_.standardError();
    }
    ServerProcess server_;
    uint16_t port_ = 0;
};

TEST_F(DemoOverHttp, ServesThePageAndTheClientLibrary) {
    const HttpResponse page = get(port_, "/demo/");
    EXPECT_EQ(page.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(page.body, readWholeFile(builtDemoFolder() + "/index.html"));
    const HttpResponse script = get(port_, "/demo/demo.js");
    EXPECT_EQ(script.statusLine, "HTTP/1.1 200 OK");
    EXPECT_NE(script.body.find("./client/lenvaro-client.js"), std::string::npos);

    const HttpResponse library = get(port_, "/demo/client/lenvaro-client.js");
    EXPECT_EQ(library.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(library.header("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_NE(library.body.find("export class LenvaroClient"), std::string::npos);
    EXPECT_EQ(library.header("Content-Length"), std::to_string(library.body.size()));

    EXPECT_EQ(get(port_, "/demo").header("Location"), "/demo/");
    EXPECT_EQ(get(port_, "/demo/nothing-here.js").statusLine, "HTTP/1.1 404 Not Found");
}

TEST_F(DemoOverHttp, RefusesPathsLeavingTheFolder) {
    for (const char* resource : {"/demo/../../cfg/exeCfg.xml", "/demo/%2e%2e/%2e%2e/cfg/exeCfg.xml"}) {
        const HttpResponse answer = get(port_, resource);
        EXPECT_EQ(answer.statusLine, "HTTP/1.1 403 Forbidden") << resource;
        EXPECT_EQ(answer.body.find("exeInfo"), std::string::npos) << resource;
    }
}

TEST_F(DemoOverHttp, StatusIsReadableFromAnyPage) {
    const HttpResponse status = get(port_, "/status");
    EXPECT_EQ(status.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(status.header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(status.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(status.body, R"({"name":"Lenvaro Server","version":")" LENVARO_VERSION R"("})");
}

TEST_F(DemoOverHttp, OtherRequestsKeepTheDefaultAnswerAndTheSocketStillServes) {
    const HttpResponse root = get(port_, "/");
    const HttpResponse post = httpExchange(port_, "POST /status HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
    const HttpResponse head = httpExchange(port_, "HEAD /demo/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    for (const HttpResponse* answer : {&root, &post, &head}) {
        EXPECT_EQ(answer->statusLine, "HTTP/1.1 500 Internal Server Error");
        EXPECT_EQ(answer->body, "");
        EXPECT_EQ(answer->header("Access-Control-Allow-Origin"), "");
    }
    WsTestClient page;
    ASSERT_TRUE(page.connect(port_));
    EXPECT_EQ(page.roundTrip(R"({"FuncName":"camGetDevCount"})"), R"({"FuncName":"camGetDevCount","result":"0"})");
}

}  // namespace
}  // namespace lenvaro::testing
