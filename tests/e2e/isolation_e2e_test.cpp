// The barcode decoder's child process, through the real executable on the built-in library with
// a decoder that can be told to abort or hang (tests/fakes/decoder_fault.cpp, preloaded): a
// decoder that dies is no crash of the service, and a service that crashes while a decode runs
// comes back on its port, with nothing of the old one left holding it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "host_e2e_support.h"
#include "process_info.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

// The sample form in cfg/ of the source tree (the build names the folder): it holds a QR code.
std::string sampleForm() { return LENVARO_SOURCE_DIR "/cfg/sample_form.jpg"; }

const std::string kRecognize =
    R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":")" + sampleForm() + R"("}})";

const std::string kDevCount = R"({"FuncName":"camGetDevCount"})";

class IsolatedDecode : public ::testing::Test {
protected:
    void SetUp() override { adoptOrphans(); }

    void TearDown() override {
        if (!server_) return;
        const pid_t pid = runningInstance(guardOf(*server_));
        if (pid > 0 && pid != serverPid_) {
            kill(pid, SIGKILL);
            waitForAdopted(pid, 5s);
        }
    }

    // A server on a port of its own whose decoder does `fault`, with the crash relaunch on.
    uint16_t start(const std::string& fault) {
        port_ = freePort();
        ServerProcess::Options options;
        options.configXml = "<exeInfo><port>" + std::to_string(port_) + "</port></exeInfo>";
        options.environment["INVOCATION_ID"] = "";
        options.environment["LD_PRELOAD"] = LENVARO_DECODER_FAULT_LIBRARY;
        options.environment["LENVARO_TEST_DECODER"] = fault;
        // Under AddressSanitizer its runtime must come first among the libraries; the preloaded
        // decoder is loaded before it on purpose.
        const char* asan = std::getenv("ASAN_OPTIONS");
        options.environment["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
        server_ = std::make_unique<ServerProcess>(options);
        const uint16_t port = server_->start();
        serverPid_ = runningInstance(guardOf(*server_));
        return port;
    }

    std::vector<pid_t> copies() const { return processesRunning(server_->root().file("bin/lenvaro-server")); }
    bool logWritten() const { return std::filesystem::exists(server_->tmp() + "/Lenvaro1"); }

    uint16_t port_ = 0;
    pid_t serverPid_ = 0;
    std::unique_ptr<ServerProcess> server_;
};

TEST_F(IsolatedDecode, TheSampleFormIsDecodedThroughTheStandIn) {
    ASSERT_TRUE(std::filesystem::exists(sampleForm())) << sampleForm();
    ASSERT_EQ(start("none"), port_) << server_->standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port_));
    EXPECT_EQ(page.roundTrip(kRecognize, 60s),
              R"({"FuncName":"coderRecognizeBarcode","result":"QR:VRF-2024-000417"})");
}

TEST_F(IsolatedDecode, ADecoderThatAbortsIsNoCrashOfTheService) {
    ASSERT_EQ(start("abort"), port_) << server_->standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port_));
    EXPECT_EQ(page.roundTrip(kRecognize, 60s), R"({"FuncName":"coderRecognizeBarcode","result":""})");

    // The child's abort met the default action, not the service's crash handler: no crash in
    // the day's log, no second copy started, the same service still answering.
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(logWritten());
    EXPECT_EQ(copies(), std::vector<pid_t>{serverPid_});
    EXPECT_EQ(runningInstance(guardOf(*server_)), serverPid_);
    EXPECT_EQ(page.roundTrip(kDevCount), R"({"FuncName":"camGetDevCount","result":"0"})");
    EXPECT_EQ(server_->stop(), 0);
}

TEST_F(IsolatedDecode, AServiceThatCrashesDuringADecodeIsBackOnItsPort) {
    ASSERT_EQ(start("hang"), port_) << server_->standardError();
    {
        WsTestClient page;
        ASSERT_TRUE(page.connect(port_));
        page.send(kRecognize);
        // The decoding child runs beside the service.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (copies().size() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
        ASSERT_EQ(copies().size(), 2u) << server_->standardError();
        kill(serverPid_, SIGSEGV);
        EXPECT_EQ(server_->waitForExit(), 128 + SIGSEGV);
    }

    // The copy the crash handler started serves on the same port: the child held neither the
    // port nor the instance guard, and died with the service.
    std::optional<std::string> answer;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!answer && std::chrono::steady_clock::now() < deadline) {
        WsTestClient page;
        if (page.connect(port_, 500ms)) answer = page.roundTrip(kDevCount, 1s);
        if (!answer) std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(answer, R"({"FuncName":"camGetDevCount","result":"0"})");
    const pid_t relaunched = runningInstance(guardOf(*server_));
    EXPECT_GT(relaunched, 0);
    EXPECT_NE(relaunched, serverPid_);
    EXPECT_EQ(copies(), std::vector<pid_t>{relaunched}) << "no decoding child is left";

    const CommandRun quit = runCommand(server_->root().file("bin/lenvaro-server"), {"--quit"},
                                       {{"XDG_RUNTIME_DIR", server_->runtimeDir()}});
    EXPECT_EQ(quit.status, 0) << quit.errors;
    EXPECT_EQ(waitForAdopted(relaunched), 0);
}

TEST_F(IsolatedDecode, ARelaunchedCopyThatCannotStartEndsWithAFailure) {
    ASSERT_EQ(start(""), port_) << server_->standardError();
    // A copy told that a crashed one (long gone) started it finds the guard held by a live
    // instance: unlike a second start by hand, that is a failure to bring the service back.
    const CommandRun copy = runCommand(server_->root().file("bin/lenvaro-server"), {"--relaunched=999999999"},
                                       {{"XDG_RUNTIME_DIR", server_->runtimeDir()}, {"TMPDIR", server_->tmp()}});
    EXPECT_EQ(copy.status, 1) << copy.errors;
    EXPECT_NE(copy.errors.find("another instance"), std::string::npos) << copy.errors;
    const CommandRun byHand = runCommand(server_->root().file("bin/lenvaro-server"), {},
                                         {{"XDG_RUNTIME_DIR", server_->runtimeDir()}, {"TMPDIR", server_->tmp()}});
    EXPECT_EQ(byHand.status, 0) << byHand.errors;
}

}  // namespace
}  // namespace lenvaro::testing
