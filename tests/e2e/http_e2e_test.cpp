// Plain HTTP on the service's port: the demo page under /demo/, GET /status with the service's
// state, HEAD, and plain answers for everything else, on the real executable in a private copy of
// the installed layout. (The client library under /client/: tests/web/pages.test.mjs.)
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

// Options of the server with another cfg/exeCfg.xml or cfg/simulator.json than the defaults.
ServerOptions serverWith(std::optional<std::string> configXml, std::optional<std::string> simulatorJson) {
    ServerOptions options;
    if (configXml) options.configXml = std::move(configXml);
    if (simulatorJson) options.simulatorJson = std::move(simulatorJson);
    return options;
}

class DemoOverHttp : public ::testing::Test {
protected:
    explicit DemoOverHttp(ServerOptions options = {}) : server_(std::move(options)) {}
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
    EXPECT_EQ(status.body, R"({"name":"Lenvaro Server","version":")" LENVARO_VERSION
                           R"(","cameras":[],"previewWidth":0,"recording":null,"autoCapture":null,"pdfList":0})");
}

// The built-in library's simulated cameras.
class StatusOfTheCameras : public DemoOverHttp {
protected:
    StatusOfTheCameras() : DemoOverHttp(serverWith(std::nullopt, "{}")) {}
    // The reply to one request, past the preview frames pushed meanwhile.
    static std::string replyTo(WsTestClient& page, const std::string& request) {
        page.send(request);
        for (;;) {
            const std::optional<std::string> message = page.receive();
            if (!message || message->rfind("$*$", 0) != 0) return message.value_or("(none)");
        }
    }
};

TEST_F(StatusOfTheCameras, StatusShowsTheCameraAPageOpened) {
    WsTestClient page;
    ASSERT_TRUE(page.connect(port_));
    EXPECT_EQ(replyTo(page, R"({"FuncName":"camOpenDev","argument":{"devIndex":1,"subtype":1,"width":0,"height":0}})"),
              R"({"FuncName":"camOpenDev","result":"0"})");
    EXPECT_EQ(replyTo(page, R"({"FuncName":"camSetImageRotateMode","argument":{"rotateMode":2}})"),
              R"({"FuncName":"camSetImageRotateMode","result":"0"})");
    const std::string status = httpGet(port_, "/status").body;
    EXPECT_NE(status.find(R"("cameras":[{"device":1,"mediaType":1,"width":)"), std::string::npos) << status;
    EXPECT_NE(status.find(R"("rotation":2,"cropType":0,"cropBox":null}])"), std::string::npos) << status;
    EXPECT_EQ(replyTo(page, R"({"FuncName":"camCloseDev","argument":{"devIndex":1}})"),
              R"({"FuncName":"camCloseDev","result":"0"})");
    EXPECT_NE(httpGet(port_, "/status").body.find(R"("cameras":[])"), std::string::npos);
}

TEST_F(DemoOverHttp, TheRootLeadsToThePageHeadIsAnsweredAndTheSocketStillServes) {
    const HttpResponse root = httpGet(port_, "/");
    EXPECT_EQ(root.statusLine, "HTTP/1.1 302 Found");
    EXPECT_EQ(root.header("Location"), "/demo/");
    // HEAD: the page's headers and length, no body (the next bytes would be read as a body).
    const HttpResponse head = httpExchange(port_, "HEAD /demo/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(head.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(head.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(head.header("Content-Length"), std::to_string(readWholeFile(builtDemoFolder() + "/index.html").size()));
    EXPECT_EQ(head.body, "");
    const HttpResponse post = httpExchange(port_, "POST /status HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(post.statusLine, "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(post.header("Allow"), "GET, HEAD");
    EXPECT_EQ(httpGet(port_, "/nothing").statusLine, "HTTP/1.1 404 Not Found");
    WsTestClient page;
    ASSERT_TRUE(page.connect(port_));
    EXPECT_EQ(page.roundTrip(R"({"FuncName":"camGetDevCount"})"), R"({"FuncName":"camGetDevCount","result":"0"})");
}

// With an allowedOrigin list, a page of another site learns the name and version, not the state.
class StatusWithAllowedOrigins : public DemoOverHttp {
protected:
    StatusWithAllowedOrigins()
        : DemoOverHttp(serverWith("<exeInfo><port>0</port><allowedOrigin>https://a.example</allowedOrigin></exeInfo>",
                                  std::nullopt)) {}
    std::string statusFrom(const std::string& origin) {
        return httpExchange(port_, "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: " + origin + "\r\n\r\n").body;
    }
};

TEST_F(StatusWithAllowedOrigins, TheStateGoesOnlyToPagesLetIn) {
    EXPECT_NE(statusFrom("https://a.example").find(R"("cameras":[])"), std::string::npos);
    EXPECT_EQ(statusFrom("https://b.example"), R"({"name":"Lenvaro Server","version":")" LENVARO_VERSION R"("})");
}

}  // namespace
}  // namespace lenvaro::testing
