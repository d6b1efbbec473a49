// The Windows build end to end: LenvaroServer.exe under Wine with the recording fake as
// Pictavo.dll beside it, spoken to over loopback from this (Linux) side. scripts/check windows
// runs it with LENVARO_WINDOWS_BUILD naming the Windows build tree and WINEPREFIX its prefix.
// All servers of one prefix share one Windows session (one mutex "LenvaroServer"), so the tests
// run one after another and each ends its server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "host_e2e_support.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::vector<std::string> kCleanQuit = {"camCloseDev(0)", "camCloseDev(1)", "camUnInitCameraLib()"};
// 张三 and 扫描 in GBK (code page 936).
const std::string kZhangSanGbk = "\xD5\xC5\xC8\xFD";
const std::string kZhangSanUtf8 = "\xE5\xBC\xA0\xE4\xB8\x89";
const std::string kScanUtf8 = "\xE6\x89\xAB\xE6\x8F\x8F";
const std::string kScanGbk = "\xC9\xA8\xC3\xE8";
// 淺, whose second byte in GBK is that of a backslash.
const std::string kShallowUtf8 = "\xE6\xB7\xBA";
const std::string kShallowGbk = "\x9C\x5C";

std::string windowsBuild() {
    const char* build = std::getenv("LENVARO_WINDOWS_BUILD");
    return build != nullptr ? build : "";
}

#define SKIP_WITHOUT_WINDOWS_BUILD()                                                             \
    if (windowsBuild().empty() || !fs::exists(windowsBuild() + "/bin/LenvaroServer.exe")) {       \
        GTEST_SKIP() << "no Windows build: scripts/check windows sets LENVARO_WINDOWS_BUILD";     \
    }

// Wine finds its server through TMPDIR (Debian's Wine): every process of a test must see the
// same one, or they would not share the session's mutex and events.
std::map<std::string, std::string> wineEnvironment(const std::string& locale) {
    const char* tmp = std::getenv("TMPDIR");
    return {{"WINEDEBUG", "-all"}, {"LC_ALL", locale}, {"LANG", locale},
            {"TMPDIR", tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"}};
}

// The executable and the fake library under Wine, in a Windows code page chosen by the locale
// Wine is started in: 1252 under the C locale, 936 under zh_CN.
ServerOptions onWine(const std::string& locale = "C", bool withLibrary = true) {
    ServerOptions options;
    options.executable = windowsBuild() + "/bin/LenvaroServer.exe";
    options.executableName = "LenvaroServer.exe";
    options.library = withLibrary ? windowsBuild() + "/tests/Pictavo.dll" : "/dev/null";
    options.libraryName = withLibrary ? "Pictavo.dll" : "not-the-library.dll";
    options.launcher = {"wine"};
    options.simulatorJson.reset();
    options.environment = wineEnvironment(locale);
    return options;
}

CommandRun runBeside(const ServerProcess& server, const std::vector<std::string>& arguments,
                     const std::string& locale = "C") {
    std::vector<std::string> line = server.commandLine();
    line.insert(line.end(), arguments.begin(), arguments.end());
    return runCommand(line.front(), std::vector<std::string>(line.begin() + 1, line.end()),
                      wineEnvironment(locale));
}

std::string quoted(const std::string& name, const std::string& result) {
    return R"({"FuncName":")" + name + R"(","result":")" + result + R"("})";
}

uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// The Windows temporary folder of the prefix, as a Linux path.
std::string windowsTemporaryFolder() {
    static const std::string folder = [] {
        const CommandRun temp = runCommand("wine", {"cmd", "/c", "echo %TEMP%"}, {{"WINEDEBUG", "-all"}});
        std::string windowsPath = temp.output.substr(0, temp.output.find_first_of("\r\n"));
        const CommandRun unix = runCommand("winepath", {"-u", windowsPath}, {{"WINEDEBUG", "-all"}});
        return unix.output.substr(0, unix.output.find_first_of("\r\n"));
    }();
    return folder;
}

TEST(WindowsService, AnswersOverLoopbackAndQuitsCleanly) {
    SKIP_WITHOUT_WINDOWS_BUILD();
    ServerProcess server(onWine());
    const uint16_t port = server.start(60s);
    ASSERT_NE(port, 0) << server.standardError();
    {
        WsTestClient page;
        ASSERT_TRUE(page.connect(port));
        EXPECT_EQ(page.roundTrip(R"({"FuncName":"camGetDevCount"})"), quoted("camGetDevCount", "0"));
        EXPECT_EQ(page.roundTrip(R"({"FuncName":"camOpenDev","argument":{"devIndex":1,"subtype":0,"width":640,"height":480}})"),
                  quoted("camOpenDev", "0"));
        // A text that is not JSON and an unknown name get no answer; the next request does.
        page.send("not json");
        page.send(R"({"FuncName":"noSuchCommand"})");
        EXPECT_EQ(page.roundTrip(R"({"FuncName":"camCloseDev","argument":{"devIndex":1}})"), quoted("camCloseDev", "0"));
    }
    const CommandRun quit = runBeside(server, {"--quit"});
    EXPECT_EQ(quit.status, 0) << quit.errors;
    EXPECT_EQ(server.waitForExit(30s), 0);
    const std::vector<std::string> calls = readLines(server.fakeLog());
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front(), "camInitCameraLib()");
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()), kCleanQuit);

    const CommandRun nobody = runBeside(server, {"--quit"});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_NE(nobody.errors.find("no instance is running"), std::string::npos) << nobody.errors;
}

// Two pages at once: commands run on a worker one at a time while the I/O thread lets a new
// page in, and each answer goes to the page that asked.
TEST(WindowsService, RepliesGoToThePageThatAskedWhileALongCommandRuns) {
    SKIP_WITHOUT_WINDOWS_BUILD();
    ServerProcess server(onWine());
    const std::string script = server.root().file("script.json");
    std::ofstream(script) << R"({"camGetDevCount": [{"outInts": [1], "delayMs": 3000}, {"outInts": [2]}]})";
    server.setEnvironment("PICTAVO_FAKE_SCRIPT", script);
    const uint16_t port = server.start(60s);
    ASSERT_NE(port, 0) << server.standardError();
    {
        WsTestClient first;
        ASSERT_TRUE(first.connect(port));
        first.send(R"({"FuncName":"camGetDevCount"})");
        std::this_thread::sleep_for(300ms);
        WsTestClient second;
        ASSERT_TRUE(second.connect(port, 2s)) << "a new page gets in while a command runs";
        second.send(R"({"FuncName":"camGetDevCount"})");
        EXPECT_EQ(first.receive(10s), quoted("camGetDevCount", "1"));
        EXPECT_EQ(second.receive(10s), quoted("camGetDevCount", "2"));
        EXPECT_EQ(first.receive(300ms), std::nullopt) << "the other page's answer";
    }
    EXPECT_EQ(runBeside(server, {"--quit"}).status, 0);
    EXPECT_EQ(server.waitForExit(30s), 0);
}

// A quit while Pictavo.dll never returns from a call: the service ends within seconds all the
// same, with the cameras closed, the library not released under the call, and status 3.
TEST(WindowsService, AQuitLeavesBehindALibraryCallThatNeverReturns) {
    SKIP_WITHOUT_WINDOWS_BUILD();
    ServerProcess server(onWine());
    const std::string script = server.root().file("script.json");
    std::ofstream(script) << R"({"camGetDevCount": [{"outInts": [1], "delayMs": 600000}]})";
    server.setEnvironment("PICTAVO_FAKE_SCRIPT", script);
    const uint16_t port = server.start(60s);
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(R"({"FuncName":"camGetDevCount"})");
    std::this_thread::sleep_for(500ms);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(runBeside(server, {"--quit"}).status, 0);
    EXPECT_EQ(server.waitForExit(30s), 3) << server.standardError();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 15s);
    const std::vector<std::string> calls = readLines(server.fakeLog());
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()), (std::vector<std::string>{"camCloseDev(0)", "camCloseDev(1)"}));
    EXPECT_NE(server.standardError().find("camGetDevCount"), std::string::npos) << server.standardError();
}

// A port that cannot be bound ends the service with status 1, the cameras closed and the
// library released on that way out too.
TEST(WindowsHost, APortThatCannotBeBoundReleasesTheLibrary) {
    SKIP_WITHOUT_WINDOWS_BUILD();
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    ServerOptions options = onWine();
    options.configXml = "<exeInfo><port>" + std::to_string(ntohs(address.sin_port)) + "</port></exeInfo>";
    ServerProcess server(options);
    EXPECT_EQ(server.start(30s), 0);
    EXPECT_EQ(server.waitForExit(30s), 1) << server.standardError();
    close(holder);
    const std::vector<std::string> calls = readLines(server.fakeLog());
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()), kCleanQuit);
}

// Texts reach the library in the system's ANSI code page and come back to the page as UTF-8.
TEST(WindowsService, TextsFollowTheWindowsCodePage) {
    SKIP_WITHOUT_WINDOWS_BUILD();
    struct Case {
        std::string locale;
        std::string pathOnWire;     // JSON string content
        std::string pathInLibrary;  // what the library gets for it
        std::string nameFromLibrary;
        std::string nameOnWire;
    };
    const std::vector<Case> cases = {
        // The request is parsed before its strings are converted: 淺 stays whole.
        {"zh_CN.UTF-8", "D:\\\\" + kScanUtf8 + kShallowUtf8 + "\\\\a.jpg",
         "D:\\" + kScanGbk + kShallowGbk + "\\a.jpg", kZhangSanGbk, kZhangSanUtf8},
        // Code page 1252 cannot spell Chinese: each character becomes its default character.
        {"C", "D:\\\\" + kScanUtf8 + "\\\\\xC3\xA9.jpg", "D:\\??\\\xE9.jpg", "\xE9",
         "\xC3\xA9"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.locale);
        ServerProcess server(onWine(test.locale));
        const std::string script = server.root().file("script.json");
        std::ofstream(script) << R"({"camGetDevName": [{"text": ")" << test.nameFromLibrary
                              << R"("}], "camGetDevCount": [{"status": 0, "outInts": [1]}]})";
        server.setEnvironment("PICTAVO_FAKE_SCRIPT", script);
        const uint16_t port = server.start(60s);
        ASSERT_NE(port, 0) << server.standardError();
        {
            WsTestClient page;
            ASSERT_TRUE(page.connect(port));
            EXPECT_EQ(page.roundTrip(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" +
                                     test.pathOnWire + R"("}})"),
                      quoted("camCaptureImageFile", "0"));
            EXPECT_EQ(page.roundTrip(R"({"FuncName":"camGetDevName"})"),
                      R"({"FuncName":"camGetDevName","result":[")" + test.nameOnWire + R"("]})");
        }
        const std::vector<std::string> calls = readLines(server.fakeLog());
        EXPECT_NE(std::find(calls.begin(), calls.end(), "camCaptureImageFile(0, \"" + test.pathInLibrary + "\")"),
                  calls.end());
        EXPECT_EQ(runBeside(server, {"--quit"}, test.locale).status, 0);
        EXPECT_EQ(server.waitForExit(30s), 0) << server.standardError();
    }
}

TEST(WindowsHost, ASecondInstanceEndsAtOnceWithoutTouchingTheLibraryARelaunchedOneFails) {
    SKIP_WITHOUT_WINDOWS_BUILD();
    ServerProcess server(onWine());
    ASSERT_NE(server.start(60s), 0) << server.standardError();
    const CommandRun second = runBeside(server, {});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.output, "");
    EXPECT_EQ(readLines(server.fakeLog()), std::vector<std::string>{"camInitCameraLib()"});

    // A copy told that a crashed one (long gone) started it finds the guard held: unlike a
    // second start by hand, that is a failure to bring the service back.
    const CommandRun relaunched = runBeside(server, {"--relaunched=999999999"});
    EXPECT_EQ(relaunched.status, 1);
    EXPECT_NE(relaunched.errors.find("another instance holds LenvaroServer; not starting"), std::string::npos)
        << relaunched.errors;
    EXPECT_EQ(readLines(server.fakeLog()), std::vector<std::string>{"camInitCameraLib()"});

    const CommandRun reset = runBeside(server, {"--reset-card-reader"});
    EXPECT_EQ(reset.status, 0) << reset.errors;
    EXPECT_EQ(waitForCalls(server.fakeLog(), 3),
              (std::vector<std::string>{"camInitCameraLib()", "idcardrfidUnInit()", "idcardrfidInit()"}));
    EXPECT_EQ(runBeside(server, {"--quit"}).status, 0);
    EXPECT_EQ(server.waitForExit(30s), 0);
}

// A missing library, or one that is not the capture library, is refused at start in plain
// words, before anything else is done.
TEST(WindowsHost, AMissingOrIncompleteCaptureLibraryIsSaidPlainly) {
    SKIP_WITHOUT_WINDOWS_BUILD();
    struct Case {
        std::string library;  // put beside the executable as Pictavo.dll; "" for none
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        {"", {"Pictavo.dll is missing", "beside LenvaroServer.exe"}},
        {windowsBuild() + "/tests/IncompletePictavo.dll", {"Pictavo.dll has no function camUnInitCameraLib"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.library);
        ServerOptions options = onWine("C", !test.library.empty());
        if (!test.library.empty()) options.library = test.library;
        ServerProcess server(options);
        EXPECT_EQ(server.start(30s), 0);
        EXPECT_EQ(server.waitForExit(30s), 1);
        const std::string errors = server.standardError();
        for (const std::string& text : test.said) EXPECT_NE(errors.find(text), std::string::npos) << errors;
    }
}

// A crash writes the daily log and a minidump, and starts one new copy, which waits for the
// crashed one to be gone and serves on the same port; a crash of that copy right after its
// start starts none.
TEST(WindowsHost, ACrashIsLoggedDumpedAndRelaunchedOnce) {
    SKIP_WITHOUT_WINDOWS_BUILD();
    const std::string logFolder = windowsTemporaryFolder() + "/Lenvaro1";
    ASSERT_FALSE(windowsTemporaryFolder().empty());
    fs::remove_all(logFolder);
    const uint16_t port = freePort();
    ServerOptions options = onWine();
    options.configXml = "<exeInfo><port>" + std::to_string(port) + "</port></exeInfo>";
    ServerProcess server(options);
    const std::string script = server.root().file("script.json");
    std::ofstream(script) << R"({"camGetDevCount": [{"crash": true}]})";
    server.setEnvironment("PICTAVO_FAKE_SCRIPT", script);
    ASSERT_EQ(server.start(60s), port) << server.standardError();
    {
        WsTestClient page;
        ASSERT_TRUE(page.connect(port));
        page.send(R"({"FuncName":"camGetDevCount"})");
        EXPECT_NE(server.waitForExit(30s), 0);
    }
    // The new copy serves on the same port.
    bool served = false;
    for (int attempt = 0; attempt < 100 && !served; ++attempt) {
        WsTestClient page;
        served = page.connect(port, 1s) &&
                 page.roundTrip(R"({"FuncName":"camCloseDev","argument":{"devIndex":0}})", 10s) ==
                     quoted("camCloseDev", "0");
        if (!served) std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(served);
    // It crashes too, right after its start: no third copy.
    {
        WsTestClient page;
        if (page.connect(port)) page.send(R"({"FuncName":"camGetDevCount"})");
    }
    for (int waited = 0; waited < 200 && runBeside(server, {"--quit"}).status == 0; ++waited) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(runBeside(server, {"--quit"}).status, 1);

    std::vector<std::string> lines;
    std::vector<std::string> dumps;
    for (const auto& entry : fs::directory_iterator(logFolder)) {
        if (entry.path().extension() == ".log") lines = readLines(entry.path().string());
        if (entry.path().extension() == ".dmp") dumps.push_back(entry.path().string());
    }
    std::string log;
    for (const std::string& line : lines) log += line + "\n";
    EXPECT_NE(log.find("GenerateMiniDump"), std::string::npos) << log;
    EXPECT_NE(log.find("minidump written"), std::string::npos) << log;
    EXPECT_NE(log.find("LenvaroServer.exe\r"), std::string::npos) << log;  // the relaunched path
    EXPECT_NE(log.find("relaunch skipped"), std::string::npos) << log;
    ASSERT_FALSE(dumps.empty());
    EXPECT_EQ(readWholeFile(dumps.front()).substr(0, 4), "MDMP");
}

}  // namespace
}  // namespace lenvaro::testing
