// A crash inside the capture library, end to end: the day's log, the relaunched copy back on the
// same port, and the cases where no copy is started.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <regex>

#include "host_e2e_support.h"
#include "loopback_socket.h"
#include "test_files.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

// Log files in <tmp>/Lenvaro1.
std::vector<std::string> logFiles(const ServerProcess& server) {
    return filesIn(server.tmp() + "/Lenvaro1");
}

std::string theLog(const ServerProcess& server) {
    const auto names = logFiles(server);
    return names.size() == 1 ? readWholeFile(server.tmp() + "/Lenvaro1/" + names[0]) : "";
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class HostCrash : public ::testing::Test {
protected:
    void SetUp() override { adoptOrphans(); }

    // A server on the fake library, on a fixed port (a relaunch must find it again), with the
    // fake programmed by `script` (a relaunched copy reads it afresh). The test's own
    // supervisor, if any, is hidden from it.
    std::unique_ptr<ServerProcess> crashingServer(const std::string& script, bool supervised = false) {
        port_ = freePort();
        ServerProcess::Options options;
        options.library = LENVARO_FAKE_LIBRARY;
        options.configXml = "<exeInfo><port>" + std::to_string(port_) + "</port></exeInfo>";
        options.environment["INVOCATION_ID"] = supervised ? "0123456789abcdef" : "";
        options.environment["LC_ALL"] = "C.UTF-8";
        auto server = std::make_unique<ServerProcess>(options);
        const std::string scriptPath = server->root().file("script.json");
        std::ofstream(scriptPath) << script;
        server->setEnvironment("PICTAVO_FAKE_SCRIPT", scriptPath);
        return server;
    }

    // The executable as /proc/self/exe shows it to the server.
    static std::string realPath(const std::string& path) {
        char resolved[PATH_MAX];
        return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    }

    // Ends whatever copy still holds the guard (a relaunch the test did not stop).
    void TearDown() override {
        for (const std::string& guard : guards_) {
            const pid_t pid = runningInstance(guard);
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitForAdopted(pid, 5s);
            }
        }
    }

    uint16_t port_ = 0;
    std::vector<std::string> guards_;
};

const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{1,3}: )";

TEST_F(HostCrash, ACrashInTheLibraryIsLoggedAndTheServiceIsBackOnItsPort) {
    // One camera whose name cannot be read without a crash.
    auto server = crashingServer(R"({"camGetDevCount":[{"outInts":[1]}],"camGetDevName":[{"crash":true}]})");
    guards_.push_back(guardOf(*server));
    ASSERT_EQ(server->start(), port_) << server->standardError();
    const pid_t first = runningInstance(guardOf(*server));
    {
        WsTestClient page;
        ASSERT_TRUE(page.connect(port_));
        page.send(R"({"FuncName":"camGetDevName"})");
        EXPECT_EQ(server->waitForExit(), 128 + SIGSEGV);
    }

    // A new copy answers on the same port within ten seconds.
    std::optional<std::string> answer;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!answer && std::chrono::steady_clock::now() < deadline) {
        WsTestClient page;
        if (page.connect(port_, 500ms)) answer = page.roundTrip(R"({"FuncName":"camGetDevCount"})", 1s);
        if (!answer) std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(answer, R"({"FuncName":"camGetDevCount","result":"1"})");
    const pid_t relaunched = runningInstance(guardOf(*server));
    EXPECT_GT(relaunched, 0);
    EXPECT_NE(relaunched, first);

    // The day's log: the banner, then the crash and the executable that was started again.
    const auto names = logFiles(*server);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(\d{4}-\d\d-\d\d\.log)"))) << names[0];
    const std::string log = theLog(*server);
    const std::string date = names[0].substr(0, 10);
    const std::string stamp = date + R"( \d\d:\d\d:\d\d:\d{1,3}: )";
    const std::string path = std::regex_replace(realPath(server->root().file("bin/lenvaro-server")),
                                                std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    EXPECT_TRUE(std::regex_match(
        log, std::regex(stamp + R"(\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*打开日志，分割线   DLL  V3\.3\.5\.98  20181219 \*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\*\r\n)" +
                        stamp + R"(最后编译时间 - [A-Z][a-z]{2} [ \d]\d \d{4} - \d\d:\d\d:\d\d\r\n\r\n)" +
                        stamp + "GenerateMiniDump\r\n" +
                        stamp + path + "\r\n")))
        << log;

    // The copy initialised the library again and quits cleanly when asked.
    const CommandRun quit = runCommand(server->root().file("bin/lenvaro-server"), {"--quit"},
                                       {{"XDG_RUNTIME_DIR", server->runtimeDir()}});
    EXPECT_EQ(quit.status, 0) << quit.errors;
    EXPECT_EQ(waitForAdopted(relaunched), 0);
    const auto calls = readLines(server->fakeLog());
    ASSERT_GE(calls.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 5),
              (std::vector<std::string>{"camInitCameraLib()", "camGetDevCount(&0)", "camGetDevName(0)",
                                        "camInitCameraLib()", "camGetDevCount(&0)"}));
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"camCloseDev(0)", "camCloseDev(1)", "camUnInitCameraLib()"}));
}

TEST_F(HostCrash, ACopyThatCrashesRightAfterItsRelaunchStartsNoOther) {
    // Every start crashes while initialising the library.
    auto server = crashingServer(R"({"camInitCameraLib":[{"crash":true}]})");
    guards_.push_back(guardOf(*server));
    EXPECT_EQ(server->start(), 0);
    EXPECT_EQ(server->waitForExit(), 128 + SIGSEGV);

    std::string log;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (countOf(log = theLog(*server), "relaunch skipped") == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(countOf(log, ": GenerateMiniDump\r\n"), 2u) << log;
    EXPECT_EQ(countOf(log, "/bin/lenvaro-server\r\n"), 1u) << log;
    EXPECT_EQ(countOf(log, "打开日志"), 2u) << "each process opens the log with its banner";
    EXPECT_EQ(countOf(log, ": relaunch skipped"), 1u) << log;
    EXPECT_EQ(readLines(server->fakeLog()), (std::vector<std::string>{"camInitCameraLib()", "camInitCameraLib()"}));
}

TEST_F(HostCrash, UnderASupervisorTheCrashIsLoggedButNoCopyStarted) {
    auto server = crashingServer(R"({"camGetDevCount":[{"crash":true}]})", /*supervised=*/true);
    guards_.push_back(guardOf(*server));
    ASSERT_EQ(server->start(), port_);
    WsTestClient page;
    ASSERT_TRUE(page.connect(port_));
    page.send(R"({"FuncName":"camGetDevCount"})");
    EXPECT_EQ(server->waitForExit(), 128 + SIGSEGV);

    const std::string log = theLog(*server);
    EXPECT_EQ(countOf(log, ": GenerateMiniDump\r\n"), 1u) << log;
    EXPECT_EQ(log.find("lenvaro-server\r\n"), std::string::npos) << log;
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(runningInstance(guardOf(*server)), 0);
    EXPECT_EQ(readLines(server->fakeLog()), (std::vector<std::string>{"camInitCameraLib()", "camGetDevCount(&0)"}));
}

}  // namespace
}  // namespace lenvaro::testing
