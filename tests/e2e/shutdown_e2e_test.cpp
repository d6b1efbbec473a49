// The way out, through the real executable with the recording fake streaming frames: on a quit
// signal the command in hand finishes and is answered, the waiting ones are dropped, then the
// cameras are closed and the library released while the endpoint still stands; a port that
// cannot be bound releases the library the same way.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "host_e2e_support.h"
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
    const auto started = std::chrono::steady_clock::now() + 10s;
    const auto inHand = [&] {
        for (const std::string& call : readLines(server.fakeLog()))
            if (call.rfind("camGetDevCount", 0) == 0) return true;
        return false;
    };
    while (!inHand() && std::chrono::steady_clock::now() < started) std::this_thread::sleep_for(10ms);
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

}  // namespace
}  // namespace lenvaro::testing
