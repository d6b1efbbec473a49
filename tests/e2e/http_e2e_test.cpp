// Plain HTTP on the service's port: the demo page under /demo/, GET /status, and the default
// answer for everything else, on the real executable in a private copy of the installed layout.
#include <gtest/gtest.h>

#include <cstdlib>

#include "loopback_socket.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

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
    const HttpResponse page = httpGet(port_, "/demo/");
    EXPECT_EQ(page.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(page.body, readWholeFile(builtDemoFolder() + "/index.html"));
    const HttpResponse script = httpGet(port_, "/demo/demo.js");
    EXPECT_EQ(script.statusLine, "HTTP/1.1 200 OK");
    EXPECT_NE(script.body.find("./client/lenvaro-client.js"), std::string::npos);

    const HttpResponse library = httpGet(port_, "/demo/client/lenvaro-client.js");
    EXPECT_EQ(library.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(library.header("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_NE(library.body.find("export class LenvaroClient"), std::string::npos);
    EXPECT_EQ(library.header("Content-Length"), std::to_string(library.body.size()));

    EXPECT_EQ(httpGet(port_, "/demo").header("Location"), "/demo/");
    EXPECT_EQ(httpGet(port_, "/demo/nothing-here.js").statusLine, "HTTP/1.1 404 Not Found");
}

TEST_F(DemoOverHttp, RefusesPathsLeavingTheFolder) {
    for (const char* resource : {"/demo/../../cfg/exeCfg.xml", "/demo/%2e%2e/%2e%2e/cfg/exeCfg.xml"}) {
        const HttpResponse answer = httpGet(port_, resource);
        EXPECT_EQ(answer.statusLine, "HTTP/1.1 403 Forbidden") << resource;
        EXPECT_EQ(answer.body.find("exeInfo"), std::string::npos) << resource;
    }
}

TEST_F(DemoOverHttp, StatusIsReadableFromAnyPage) {
    const HttpResponse status = httpGet(port_, "/status");
    EXPECT_EQ(status.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(status.header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(status.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(status.body, R"({"name":"Lenvaro Server","version":")" LENVARO_VERSION R"("})");
}

TEST_F(DemoOverHttp, OtherRequestsKeepTheDefaultAnswerAndTheSocketStillServes) {
    const HttpResponse root = httpGet(port_, "/");
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
