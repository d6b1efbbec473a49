// The host end to end: one instance per user, quitting with the device clean-up, the card-reader
// reset from outside, and the command line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "host_e2e_support.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

const std::string kDevCount = R"({"FuncName":"camGetDevCount"})";
const std::vector<std::string> kCleanQuit{"camInitCameraLib()", "camCloseDev(0)", "camCloseDev(1)",
                                          "camUnInitCameraLib()"};

ServerProcess::Options onTheFake(const std::string& runtimeDir = "") {
    ServerProcess::Options options;
    options.library = LENVARO_FAKE_LIBRARY;
    if (!runtimeDir.empty()) options.environment["XDG_RUNTIME_DIR"] = runtimeDir;
    return options;
}

// Runs the server's own copy of the executable with options, beside the running instance.
CommandRun runBeside(const ServerProcess& server, const std::vector<std::string>& arguments) {
    return runCommand(server.root().file("bin/lenvaro-server"), arguments,
                      {{"XDG_RUNTIME_DIR", server.runtimeDir()}, {"TMPDIR", server.tmp()}});
}

TEST(HostSingleInstance, ASecondStartEndsAtOnceWithoutTouchingTheLibrary) {
    ScratchDirectory sharedRuntime;
    ServerProcess first(onTheFake(sharedRuntime.path()));
    const uint16_t port = first.start();
    ASSERT_NE(port, 0) << first.standardError();

    ServerProcess second(onTheFake(sharedRuntime.path()));
    EXPECT_EQ(second.start(3s), 0);
    EXPECT_EQ(second.waitForExit(), 0);
    EXPECT_EQ(readLines(second.fakeLog()), std::vector<std::string>{}) << "capture library initialised";
    EXPECT_EQ(second.standardOutput(), "");

    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    EXPECT_EQ(page.roundTrip(kDevCount), R"({"FuncName":"camGetDevCount","result":"0"})");
    EXPECT_GT(runningInstance(sharedRuntime.file("LenvaroServer.lock")), 0) << "the first still holds the guard";
}

TEST(HostSingleInstance, AGuardThatCannotBeTakenIsAFailure) {
    ServerProcess server(onTheFake());
    ASSERT_EQ(mkdir(guardOf(server).c_str(), 0700), 0);  // a directory where the lock file goes
    EXPECT_EQ(server.start(3s), 0);
    EXPECT_EQ(server.waitForExit(), 1);
    EXPECT_NE(server.standardError().find(guardOf(server)), std::string::npos) << server.standardError();
    EXPECT_EQ(readLines(server.fakeLog()), std::vector<std::string>{});
}

TEST(HostQuit, TheQuitOptionEndsTheRunningInstanceWithTheDeviceCleanUp) {
    ServerProcess server(onTheFake());
    ASSERT_NE(server.start(), 0);
    const CommandRun quit = runBeside(server, {"--quit"});
    EXPECT_EQ(quit.status, 0) << quit.errors;
    // --quit returns once the instance has gone.
    EXPECT_EQ(runningInstance(guardOf(server)), 0);
    EXPECT_EQ(server.waitForExit(), 0);
    EXPECT_EQ(readLines(server.fakeLog()), kCleanQuit);

    const CommandRun nobody = runBeside(server, {"--quit"});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_NE(nobody.errors.find("no instance is running"), std::string::npos) << nobody.errors;
}

TEST(HostQuit, SigintQuitsAsSigtermDoes) {
    ServerProcess server(onTheFake());
    ASSERT_NE(server.start(), 0);
    const pid_t pid = runningInstance(guardOf(server));
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_EQ(server.waitForExit(), 0);
    EXPECT_EQ(readLines(server.fakeLog()), kCleanQuit);
}

TEST(HostCardReader, Sigusr1AndTheOptionResetTheReaderWhileTheServiceGoesOn) {
    ServerProcess server(onTheFake());
    const uint16_t port = server.start();
    ASSERT_NE(port, 0);
    const pid_t pid = runningInstance(guardOf(server));
    ASSERT_GT(pid, 0);

    ASSERT_EQ(kill(pid, SIGUSR1), 0);
    EXPECT_EQ(waitForCalls(server.fakeLog(), 3),
              (std::vector<std::string>{"camInitCameraLib()", "idcardrfidUnInit()", "idcardrfidInit()"}));

    const CommandRun reset = runBeside(server, {"--reset-card-reader"});
    EXPECT_EQ(reset.status, 0) << reset.errors;
    EXPECT_EQ(waitForCalls(server.fakeLog(), 5),
              (std::vector<std::string>{"camInitCameraLib()", "idcardrfidUnInit()", "idcardrfidInit()",
                                        "idcardrfidUnInit()", "idcardrfidInit()"}));

    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    EXPECT_EQ(page.roundTrip(kDevCount), R"({"FuncName":"camGetDevCount","result":"0"})");
    EXPECT_EQ(server.stop(), 0);
    const auto calls = readLines(server.fakeLog());
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"camCloseDev(0)", "camCloseDev(1)", "camUnInitCameraLib()"}));

    const CommandRun nobody = runBeside(server, {"--reset-card-reader"});
    EXPECT_EQ(nobody.status, 1);
}

TEST(HostCommandLine, HelpVersionAndMistakes) {
    const CommandRun help = runCommand(LENVARO_SERVER_EXECUTABLE, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.rfind("Usage: lenvaro-server", 0), 0u) << help.output;
    EXPECT_NE(help.output.find("--reset-card-reader"), std::string::npos);

    const CommandRun version = runCommand(LENVARO_SERVER_EXECUTABLE, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.output, std::regex(R"(lenvaro-server \d+\.\d+\.\d+\n)"))) << version.output;

    const CommandRun wrong = runCommand(LENVARO_SERVER_EXECUTABLE, {"--bogus"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.errors.find("unknown option --bogus"), std::string::npos) << wrong.errors;
    EXPECT_EQ(wrong.output, "");
}

}  // namespace
}  // namespace lenvaro::testing
