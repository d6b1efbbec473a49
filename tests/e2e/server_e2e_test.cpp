// The real executable, started in a private copy of the installed layout, spoken to over a real
// WebSocket.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include "loopback_socket.h"
#include "server_process.h"
#include "test_files.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

const std::string kDevCount = R"({"FuncName":"camGetDevCount"})";

// The standard output of a shell command, in the C locale: readelf and netstat translate what
// they print under other locales.
std::string commandOutput(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("export LC_ALL=C; " + command).c_str(), "r"), pclose);
    if (!pipe) return output;
    std::array<char, 4096> buffer{};
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) output.append(buffer.data(), got);
    return output;
}

TEST(ServerBinary, LinksTheCaptureLibraryDynamicallyThroughItsRunPath) {
    const std::string dynamic = commandOutput("readelf -d '" LENVARO_SERVER_EXECUTABLE "'");
    EXPECT_NE(dynamic.find("Shared library: [libpictavo.so]"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("(RUNPATH)            Library runpath: [$ORIGIN:$ORIGIN/../lib]"),
              std::string::npos) << dynamic;
    // None of the library's entry points is linked into the executable itself.
    const std::string defined = commandOutput("nm --defined-only '" LENVARO_SERVER_EXECUTABLE "'");
    EXPECT_EQ(defined.find(" T camGetDevCount"), std::string::npos);
}

TEST(Server, AnswersOnTheBuiltInLibrary) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    EXPECT_EQ(page.roundTrip(kDevCount), R"({"FuncName":"camGetDevCount","result":"0"})");
    EXPECT_EQ(page.roundTrip(R"({"FuncName":"camGetDevName"})"), R"({"FuncName":"camGetDevName","result":[""]})");
}

TEST(Server, ListensOnTheConfiguredPortOfLoopbackOnly) {
    const uint16_t wanted = freePort();
    ServerProcess::Options serverOptions;
    serverOptions.configXml = "<exeInfo><port>" + std::to_string(wanted) + "</port></exeInfo>";
    ServerProcess server(serverOptions);
    ASSERT_EQ(server.start(), wanted);
    EXPECT_NE(server.standardOutput().find("listening on 127.0.0.1:" + std::to_string(wanted)),
              std::string::npos);
    const std::string sockets = commandOutput("ss -Hltn 2>/dev/null || netstat -ltn");
    EXPECT_NE(sockets.find("127.0.0.1:" + std::to_string(wanted)), std::string::npos) << sockets;
    EXPECT_EQ(sockets.find("0.0.0.0:" + std::to_string(wanted)), std::string::npos);
    EXPECT_EQ(sockets.find("[::]:" + std::to_string(wanted)), std::string::npos);
}

TEST(Server, IsSilentForUnknownNamesAndTextsThatAreNotJson) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0);
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    for (const char* text : {"hello", "{\"FuncName\":\"camgetdevcount\"}", "[1,2]", "null",
                             "{\"FuncName\":\"otrGetTemplateCount\"}", "{\"FuncName\":\"PreZoneSize\"}"}) {
        page.send(text);
    }
    page.send(std::string(3000, '[') + "{");
    // The first message back answers the last request: nothing came for the ones before.
    EXPECT_EQ(page.roundTrip(kDevCount), R"({"FuncName":"camGetDevCount","result":"0"})");
    EXPECT_FALSE(page.receive(200ms).has_value());
    EXPECT_TRUE(page.isOpen());
}

TEST(Server, HandlesBinaryFramesAsText) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0);
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(kDevCount, websocketpp::frame::opcode::binary);
    EXPECT_EQ(page.receive(), R"({"FuncName":"camGetDevCount","result":"0"})");
}

TEST(Server, ALibraryBesideTheExecutableReplacesTheBuiltInOne) {
    ServerProcess::Options options;
    options.library = LENVARO_FAKE_LIBRARY;
    ServerProcess withScript(options);
    std::ofstream(withScript.root().file("script.json"))
        << R"({"camGetDevCount":[{"outInts":[2]}],"camGetDevName":[{"text":"Doc"},{"text":"Side"}]})";
    withScript.setEnvironment("PICTAVO_FAKE_SCRIPT", withScript.root().file("script.json"));
    const uint16_t port = withScript.start();
    ASSERT_NE(port, 0) << withScript.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    EXPECT_EQ(page.roundTrip(R"({"FuncName":"camGetDevName"})"),
              R"({"FuncName":"camGetDevName","result":["Doc","Side"]})");
    const auto calls = readLines(withScript.fakeLog());
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0], "camInitCameraLib()");
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"camGetDevCount(&0)", "camGetDevName(0)", "camGetDevName(1)"}));
}

TEST(Server, QuitSignalClosesTheCamerasAndRemovesTheScratchDirectory) {
    ServerProcess::Options options;
    options.library = LENVARO_FAKE_LIBRARY;
    ServerProcess server(options);
    ASSERT_NE(server.start(), 0);
    // The scratch directory is made in the private runtime folder, beside the instance lock;
    // nothing goes to the temporary folder.
    EXPECT_EQ(filesIn(server.runtimeDir(), "lenvaro-").size(), 1u);
    EXPECT_EQ(filesIn(server.tmp(), "lenvaro-").size(), 0u);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(readLines(server.fakeLog()),
              (std::vector<std::string>{"camInitCameraLib()", "camCloseDev(0)", "camCloseDev(1)",
                                        "camUnInitCameraLib()"}));
    EXPECT_EQ(filesIn(server.runtimeDir(), "lenvaro-").size(), 0u);
}

TEST(Server, APortInUseEndsTheServiceWithTheFailureMessage) {
    ServerProcess holder;
    const uint16_t taken = holder.start();
    ASSERT_NE(taken, 0);
    ServerProcess::Options secondOptions;
    secondOptions.configXml = "<exeInfo><port>" + std::to_string(taken) + "</port></exeInfo>";
    ServerProcess second(secondOptions);
    EXPECT_EQ(second.start(2s), 0);
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_EQ(second.standardOutput().rfind("exception: ", 0), 0u) << second.standardOutput();
    EXPECT_NE(second.standardError().find("\xE6\x9C\x8D\xE5\x8A\xA1\xE5\xBC\x80\xE5\x90\xAF\xE5\xA4\xB1\xE8\xB4\xA5\xEF\xBC\x81"),
              std::string::npos) << second.standardError();
}

TEST(Server, PlainHttpGetsAnAnswerAndServiceGoesOn) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0);
    const HttpResponse answer = httpGet(port, "/");
    EXPECT_EQ(answer.statusLine.rfind("HTTP/1.1 ", 0), 0u) << answer.statusLine;
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    EXPECT_EQ(page.roundTrip(kDevCount), R"({"FuncName":"camGetDevCount","result":"0"})");
}

}  // namespace
}  // namespace lenvaro::testing
