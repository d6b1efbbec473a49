// The way out, through the real executable with the recording fake streaming frames: on a quit
// signal the command in hand finishes and is answered, the waiting ones are dropped, then the
// cameras are closed and the library released while the endpoint still stands; a port that
// cannot be bound releases the library the same way. A call that does not come back (a library
// call that hangs, an upload to a server that never answers) is left behind within seconds.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "host/service_host.h"
#include "host_e2e_support.h"
#include "loopback_socket.h"
#include "test_files.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kLibraryReleased = {"camCloseDev(0)", "camCloseDev(1)", "camUnInitCameraLib()"};

ServerProcess::Options onTheFake(const std::string& configXml = "<exeInfo><port>0</port></exeInfo>") {
    ServerProcess::Options options;
    options.library = LENVARO_FAKE_LIBRARY;
    options.configXml = configXml;
    return options;
}

std::vector<std::string> lastCalls(const std::vector<std::string>& calls, size_t count) {
    return std::vector<std::string>(calls.end() - static_cast<long>(std::min(count, calls.size())), calls.end());
}

// Waits until the call log shows `prefix` (the call is under way), at most a few seconds.
bool waitForCall(const ServerProcess& server, const std::string& prefix) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& call : readLines(server.fakeLog()))
            if (call.rfind(prefix, 0) == 0) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(Shutdown, AQuitFinishesTheCommandInHandThenClosesTheLibraryBeforeTheEndpoint) {
    ServerProcess server(onTheFake());
    const std::string script = server.root().file("script.json");
    std::ofstream(script) << R"({"FileEncodeBase64":[{"text":"SlBFRw=="}],
        "previewStream":{"width":320,"height":240,"fps":60},
        "camGetDevCount":[{"outInts":[1],"delayMs":800}]})";
    server.setEnvironment("PICTAVO_FAKE_SCRIPT", script);
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(R"({"FuncName":"camOpenDev"})");
    ASSERT_TRUE(page.receive().has_value());

    // One command in hand, one waiting, frames streaming, and the quit signal.
    page.send(R"({"FuncName":"camGetDevCount"})");
    page.send(R"({"FuncName":"camGetDevName"})");
    ASSERT_TRUE(waitForCall(server, "camGetDevCount"));
    const pid_t pid = runningInstance(guardOf(server));
    ASSERT_GT(pid, 0);
    kill(pid, SIGTERM);

    // The command in hand is still answered: the endpoint outlives the worker.
    std::optional<std::string> answer;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!answer && std::chrono::steady_clock::now() < deadline) {
        const auto message = page.receive(1s);
        if (message && message->rfind("$*$", 0) != 0) answer = message;
    }
    EXPECT_EQ(answer, R"({"FuncName":"camGetDevCount","result":"1"})");
    EXPECT_EQ(server.waitForExit(), 0) << server.standardError();

    // Frames went on until the cameras were closed, and none came after the library was released.
    const std::vector<std::string> calls = readLines(server.fakeLog());
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "camUnInitCameraLib()");
    std::vector<std::string> commands;
    for (const std::string& call : calls) {
        if (call.rfind("FileEncodeBase64", 0) != 0 && call.rfind("camDeleteFile", 0) != 0) commands.push_back(call);
    }
    EXPECT_EQ(lastCalls(commands, 4), (std::vector<std::string>{"camGetDevCount(&0)", kLibraryReleased[0],
                                                                kLibraryReleased[1], kLibraryReleased[2]}));
    for (const std::string& call : calls) EXPECT_EQ(call.rfind("camGetDevName", 0), std::string::npos) << "dropped";
}

TEST(Shutdown, APortThatCannotBeBoundReleasesTheLibraryToo) {
    ServerProcess holder;
    const uint16_t taken = holder.start();
    ASSERT_NE(taken, 0);
    ServerProcess second(onTheFake("<exeInfo><port>" + std::to_string(taken) + "</port></exeInfo>"));
    EXPECT_EQ(second.start(2s), 0);
    EXPECT_EQ(second.waitForExit(), 1);
    const std::vector<std::string> calls = readLines(second.fakeLog());
    EXPECT_EQ(lastCalls(calls, 3), kLibraryReleased);
}

TEST(Shutdown, ALibraryCallThatNeverReturnsIsLeftBehindAndTheQuitSaysSo) {
    ServerProcess server(onTheFake());
    const std::string script = server.root().file("script.json");
    std::ofstream(script) << R"({"camGetDevCount":[{"outInts":[1],"delayMs":600000}]})";
    server.setEnvironment("PICTAVO_FAKE_SCRIPT", script);
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(R"({"FuncName":"camGetDevCount"})");
    ASSERT_TRUE(waitForCall(server, "camGetDevCount"));

    // --quit returns once the instance has ended, which it does within seconds.
    const auto asked = std::chrono::steady_clock::now();
    const CommandRun quit = runCommand(server.executable(), {"--quit"},
                                       {{"XDG_RUNTIME_DIR", server.runtimeDir()}, {"TMPDIR", server.tmp()}});
    EXPECT_EQ(quit.status, 0) << quit.errors;
    EXPECT_EQ(server.waitForExit(), kLeftBehindExitStatus);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);
    EXPECT_NE(server.standardError().find("the command in hand (camGetDevCount)"), std::string::npos)
        << server.standardError();

    // The cameras were closed beside the call; the library was not released under it.
    const std::vector<std::string> calls = readLines(server.fakeLog());
    EXPECT_EQ(lastCalls(calls, 2), (std::vector<std::string>{"camCloseDev(0)", "camCloseDev(1)"}));
    // The private scratch directory is gone all the same; only the guard's file stays.
    EXPECT_EQ(filesIn(server.runtimeDir()), std::vector<std::string>{"LenvaroServer.lock"});
}

TEST(Shutdown, AnUploadToAServerThatNeverAnswersDoesNotHoldTheQuit) {
    ServerProcess server;  // the built-in library's upload
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    // A server that takes the connection and never says a word.
    uint16_t silentPort = 0;
    const int silent = listenOnLoopback(silentPort);
    ASSERT_GE(silent, 0);
    const std::string file = server.root().file("scan.jpg");
    std::ofstream(file) << "scan";
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(R"({"FuncName":"camUpdataFileHttp","argument":{"filePath":")" + file +
              R"(","url":"http://127.0.0.1:)" + std::to_string(silentPort) + R"(/up"}})");
    std::this_thread::sleep_for(500ms);

    const auto asked = std::chrono::steady_clock::now();
    kill(server.pid(), SIGTERM);
    EXPECT_EQ(server.waitForExit(15s), kLeftBehindExitStatus) << server.standardError();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);
    EXPECT_NE(server.standardError().find("camUpdataFileHttp"), std::string::npos) << server.standardError();
    close(silent);
}

}  // namespace
}  // namespace lenvaro::testing
