// Who may connect and how much they may send, through the real executable: the allowedOrigin
// list, the loopback Host check, and the per-message size limit.
#include <dirent.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "process_info.h"
#include "raw_ws_peer.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

const std::string kDevCount = R"({"FuncName":"camGetDevCount"})";
const std::string kDevCountReply = R"({"FuncName":"camGetDevCount","result":"0"})";
constexpr uint64_t kLimit = 64ull * 1024 * 1024;

ServerProcess::Options withConfig(const std::string& exeInfoBody) {
    ServerProcess::Options options;
    options.configXml = "<exeInfo><port>0</port>" + exeInfoBody + "</exeInfo>";
    return options;
}

// A raw handshake with this Origin; the HTTP status. When it is 101, the connection also has to
// answer a request.
int statusFor(uint16_t port, const std::string& origin, const std::string& host = "") {
    RawWsPeer peer;
    if (!peer.connectTcp(port)) return -1;
    const int status = host.empty() ? peer.handshake(port, origin) : peer.handshakeAs(host, origin);
    if (status == 101) {
        peer.sendText(kDevCount);
        if (peer.readText() != kDevCountReply) return -2;
    }
    return status;
}

TEST(OriginPolicy, WithoutAllowedOriginsEveryOriginAndNoneAreLetIn) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    EXPECT_EQ(statusFor(port, "https://anyone.example"), 101);
    EXPECT_EQ(statusFor(port, "null"), 101);
    EXPECT_EQ(statusFor(port, ""), 101);
}

TEST(OriginPolicy, AllowedOriginsLetInExactlyTheirPages) {
    ServerProcess server(withConfig("<allowedOrigin>https://bank.example</allowedOrigin>"
                                    "<allowedOrigin> HTTP://LocalHost:8080/ </allowedOrigin>"));
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    EXPECT_EQ(server.standardError().find("allowedOrigin"), std::string::npos) << server.standardError();

    EXPECT_EQ(statusFor(port, "https://bank.example"), 101);
    EXPECT_EQ(statusFor(port, "http://localhost:8080"), 101);
    for (const char* other : {"https://bank.example.evil.test", "https://evil.test", "http://bank.example",
                              "https://bank.example:8443", "null", ""}) {
        EXPECT_EQ(statusFor(port, other), 403) << other;
    }
    // A client library that sends no Origin is refused too, and the service goes on.
    WsTestClient noOrigin;
    EXPECT_FALSE(noOrigin.connect(port));
    EXPECT_EQ(statusFor(port, "https://bank.example"), 101);
}

TEST(OriginPolicy, AMalformedEntryIsReportedAndLetsNobodyIn) {
    ServerProcess server(withConfig("<allowedOrigin>bank.example</allowedOrigin>"));
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    EXPECT_NE(server.standardError().find("allowedOrigin \"bank.example\""), std::string::npos)
        << server.standardError();
    EXPECT_EQ(statusFor(port, "bank.example"), 403);
    EXPECT_EQ(statusFor(port, "https://bank.example"), 403);
    EXPECT_EQ(statusFor(port, ""), 403);
}

TEST(HostCheck, OnLoopbackOnlyLoopbackNamesAreLetIn) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    const std::string p = std::to_string(port);
    EXPECT_EQ(statusFor(port, "", "localhost:" + p), 101);
    EXPECT_EQ(statusFor(port, "", "127.0.0.1"), 101);
    EXPECT_EQ(statusFor(port, "", "[::1]:" + p), 101);
    // A hostile name that its owner made resolve to 127.0.0.1.
    EXPECT_EQ(statusFor(port, "https://rebind.evil.test:" + p, "rebind.evil.test:" + p), 403);
    EXPECT_EQ(statusFor(port, "", "localhost.evil.test:" + p), 403);
    EXPECT_EQ(statusFor(port, "", "192.168.1.10:" + p), 403);
    EXPECT_EQ(statusFor(port, "", "localhost:" + p), 101);
}

TEST(HostCheck, ARefusedHandshakeLeavesTheCurrentPageAlone) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    // A refused handshake never opens, so it neither takes the replies nor, closing, silences
    // the page that has them.
    EXPECT_EQ(statusFor(port, "", "rebind.evil.test:" + std::to_string(port)), 403);
    EXPECT_EQ(page.roundTrip(kDevCount), kDevCountReply);
}

TEST(MessageLimit, AMessageOverTheLimitClosesItsConnectionWith1009) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();

    WsTestClient bystander;
    ASSERT_TRUE(bystander.connect(port));

    // The limit itself is allowed: the announcement of exactly 64 MiB is not refused.
    RawWsPeer atLimit;
    ASSERT_TRUE(atLimit.connectTcp(port));
    ASSERT_EQ(atLimit.handshake(port), 101);
    ASSERT_TRUE(atLimit.sendAll(RawWsPeer::clientFrameHeader(1, kLimit)));
    EXPECT_FALSE(atLimit.readFrame(1500ms).has_value());

    RawWsPeer overLimit;
    ASSERT_TRUE(overLimit.connectTcp(port));
    ASSERT_EQ(overLimit.handshake(port), 101);
    ASSERT_TRUE(overLimit.sendAll(RawWsPeer::clientFrameHeader(1, kLimit + 1)));
    const auto closing = overLimit.readFrame(5s);
    ASSERT_TRUE(closing.has_value());
    EXPECT_EQ(closing->opcode, 8);
    EXPECT_EQ(closing->closeCode(), 1009);
    // Frames each within the limit that add up to more are refused the same way, as soon as the
    // header of the one that passes it arrives.
    RawWsPeer fragmented;
    ASSERT_TRUE(fragmented.connectTcp(port));
    ASSERT_EQ(fragmented.handshake(port), 101);
    std::string first = RawWsPeer::clientFrame(1, std::string(10, 'a'));
    first[0] = 0x01;  // text, not final
    ASSERT_TRUE(fragmented.sendAll(first));
    ASSERT_TRUE(fragmented.sendAll(RawWsPeer::clientFrameHeader(0, kLimit - 9)));  // final continuation
    const auto fragmentClosing = fragmented.readFrame(10s);
    ASSERT_TRUE(fragmentClosing.has_value());
    EXPECT_EQ(fragmentClosing->closeCode(), 1009);

    // The other connections stay open; the service answers the next page.
    EXPECT_TRUE(bystander.isOpen());
    atLimit.abort();
    WsTestClient next;
    ASSERT_TRUE(next.connect(port));
    EXPECT_EQ(next.roundTrip(kDevCount), kDevCountReply);
}

TEST(MessageLimit, ARequestLargerThanTheLibraryDefaultIsStillServed) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    // 40 MB: over websocketpp's own default of 32 000 000 bytes, under 64 MiB. An argument the
    // command does not read pads it.
    const std::string padded = R"({"FuncName":"camGetDevCount","argument":{"pad":")" +
                               std::string(40'000'000, 'x') + "\"}}";
    page.send(padded);
    EXPECT_EQ(page.receive(60s), kDevCountReply);
}

TEST(Descriptors, TheServiceTakesTheWholeHardLimitOfOpenFiles) {
    rlimit ours{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &ours), 0);
    if (ours.rlim_max == RLIM_INFINITY || ours.rlim_max <= 256) GTEST_SKIP() << "no room below the hard limit";
    // Started under a soft limit of 256, as a desktop session's 1024 would be.
    rlimit lowered = ours;
    lowered.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    ServerProcess server;
    const uint16_t port = server.start();
    setrlimit(RLIMIT_NOFILE, &ours);
    ASSERT_NE(port, 0) << server.standardError();
    const pid_t pid = processRunning(server.root().file("bin/lenvaro-server"));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(openFilesSoftLimit(pid), static_cast<long>(ours.rlim_max));
}

TEST(Descriptors, TheListeningAndAcceptedSocketsAreClosedOnExec) {
    // A program the service starts must not inherit the port or a page's connection.
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(R"({"FuncName":"camGetDevCount"})");
    ASSERT_TRUE(page.receive(10s));
    const pid_t pid = processRunning(server.root().file("bin/lenvaro-server"));
    ASSERT_GT(pid, 0);
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    int sockets = 0;
    DIR* dir = opendir(fdDir.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* entry = readdir(dir)) {
        char target[256] = {};
        const std::string link = fdDir + "/" + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
        if (std::string(target).rfind("socket:", 0) != 0) continue;
        ++sockets;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + entry->d_name);
        std::string line;
        while (std::getline(info, line) && line.rfind("flags:", 0) != 0) {
        }
        const unsigned long flags = std::stoul(line.substr(6), nullptr, 8);
        EXPECT_NE(flags & 02000000, 0u) << "socket descriptor " << entry->d_name << " " << line;
    }
    closedir(dir);
    EXPECT_GE(sockets, 2) << "the listening socket and the page's";
}

}  // namespace
}  // namespace lenvaro::testing
