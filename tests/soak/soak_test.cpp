// Soak and churn against the real executable on the built-in library with its simulated camera:
// live preview at 30 frames a second while connections come and go a thousand times, ten
// thousand mixed requests whose replies must come back in order, a page that stops reading, a
// 100 MB frame, half-open connections and garbage on the port. Afterwards the service must
// still answer, be the same process, and hold about the memory it started with. The figures go
// to standard output; only generous bounds are asserted, never times.
//
// Loopback only. Every loop has a count and a deadline.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "process_info.h"
#include "raw_ws_peer.h"
#include "server_process.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kChurnConnections = 1000;
constexpr int kMixedRequests = 10000;
constexpr int kPipelineWindow = 100;
constexpr size_t kHugeFrameBytes = 100'000'000;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer holds freed memory in quarantine (256 MiB by default) before reusing it.
constexpr long kSanitizerSlackKiB = 256 * 1024;
#else
constexpr long kSanitizerSlackKiB = 0;
#endif

const std::string kDevCount = R"({"FuncName":"camGetDevCount"})";
const std::string kDevCountReply = R"({"FuncName":"camGetDevCount","result":"2"})";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Samples the resident size every 50 ms and keeps the highest.
class PeakSampler {
public:
    explicit PeakSampler(pid_t pid) : pid_(pid), thread_([this] {
        while (!stop_) {
            peak_ = std::max(peak_.load(), residentKiB(pid_));
            std::this_thread::sleep_for(50ms);
        }
    }) {}
    ~PeakSampler() {
        stop_ = true;
        thread_.join();
    }
    long peak() const { return peak_; }

private:
    pid_t pid_;
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_{0};
    std::thread thread_;
};

std::unique_ptr<RawWsPeer> openPage(uint16_t port) {
    auto page = std::make_unique<RawWsPeer>();
    if (!page->connectTcp(port) || page->handshake(port) != 101) return nullptr;
    return page;
}

// A fresh page asks for the camera count; true when it is answered.
bool serviceAnswers(uint16_t port) {
    auto page = openPage(port);
    return page && page->sendText(kDevCount) && page->readText() == kDevCountReply;
}

// The requests of the mixed run, each with its reply or nothing when the service stays silent.
struct Exchange {
    std::string request;
    std::optional<std::string> reply;
};

std::vector<Exchange> mixedExchanges() {
    return {
        {kDevCount, kDevCountReply},
        {R"({"FuncName":"camGetCurResolution"})", R"({"FuncName":"camGetCurResolution","result":"640*480"})"},
        {R"({"FuncName":"camGetMediaTypeName"})", R"({"FuncName":"camGetMediaTypeName","result":["MJPG","YUY2"]})"},
        {R"({"FuncName":"camGetDevName"})",
         R"({"FuncName":"camGetDevName","result":["Lenvaro Simulated Document Camera","Lenvaro Simulated Camera"]})"},
        {R"({"FuncName":"camGetResolution"})",
         R"({"FuncName":"camGetResolution","result":["1280*720","640*480","320*240"]})"},
        {R"({"FuncName":"camGetDevType"})", R"({"FuncName":"camGetDevType","result":"2"})"},
        {R"({"FuncName":"camGetDevVid"})", R"({"FuncName":"camGetDevVid","result":"F0CA"})"},
        {R"({"FuncName":"camSetImageDPI","argument":{"xDPI":300}})", R"({"FuncName":"camSetImageDPI","result":"0"})"},
        {R"({"FuncName":"camGetMediaTypeCount"})", R"({"FuncName":"camGetMediaTypeCount","result":"2"})"},
        // Texts the service answers with silence must not shift the replies after them.
        {R"({"FuncName":"PreZoneSize","argument":{"width":640}})", std::nullopt},
        {R"({"FuncName":"camGetMicrophoneVolumeLevel"})", std::nullopt},
        {R"({"FuncName":"noSuchCommand"})", std::nullopt},
        {"not json at all", std::nullopt},
        {R"([1,2,3])", std::nullopt},
    };
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        ServerProcess::Options options;
        options.simulatorJson = std::string(R"({"cameras": {"simulated": true, "frameRate": 30}})");
        server_ = std::make_unique<ServerProcess>(options);
        port_ = server_->start();
        ASSERT_NE(port_, 0) << server_->standardError();
        pid_ = processRunning(server_->root().file("bin/lenvaro-server"));
        ASSERT_GT(pid_, 0);
    }

    bool sameProcessAlive() const {
        return kill(pid_, 0) == 0 && processRunning(server_->root().file("bin/lenvaro-server")) == pid_;
    }

    std::unique_ptr<ServerProcess> server_;
    uint16_t port_ = 0;
    pid_t pid_ = 0;
};

TEST_F(Soak, TheServiceOutlastsChurnFloodsAndHostilePeers) {
    const auto started = Clock::now();
    std::printf("soak: server pid %d on port %u, resident at start %ld KiB\n", pid_, port_, residentKiB(pid_));
    PeakSampler sampler(pid_);

    // 1. The preview page opens the second camera at 640x480, 30 frames a second.
    auto previewPage = openPage(port_);
    ASSERT_TRUE(previewPage);
    ASSERT_TRUE(previewPage->sendText(
        R"({"FuncName":"camOpenDev","argument":{"devIndex":1,"subtype":0,"width":640,"height":480}})"));
    ASSERT_EQ(previewPage->readText(), R"({"FuncName":"camOpenDev","result":"0"})");
    size_t warmFrames = 0;
    const auto warmStart = Clock::now();
    while (Clock::now() - warmStart < 3s) {
        const auto frame = previewPage->readFrame(1s);
        if (frame && frame->payload.rfind("$*$", 0) == 0) ++warmFrames;
    }
    const double previewFps = static_cast<double>(warmFrames) / secondsSince(warmStart);
    const long baselineKiB = residentKiB(pid_);
    std::printf("soak: preview %.1f frames/s to one page; resident after warm-up %ld KiB\n", previewFps,
                baselineKiB);
    EXPECT_GT(warmFrames, 0u);

    // 2. Churn: another page connects and leaves a thousand times, by a close frame, a reset or
    // a plain end of stream, and every fourth asks something first. The preview page keeps
    // reading meanwhile; the frames go to whichever connection opened last.
    std::atomic<bool> churning{true};
    std::atomic<size_t> previewPageFrames{0};
    std::thread previewReader([&] {
        while (churning) {
            const auto frame = previewPage->readFrame(200ms);
            if (frame && frame->payload.rfind("$*$", 0) == 0) ++previewPageFrames;
        }
    });
    int opened = 0;
    int asked = 0;
    int answered = 0;
    size_t churnFrames = 0;
    int previewedChurns = 0;
    const auto churnStart = Clock::now();
    const auto churnDeadline = churnStart + 180s;
    for (int i = 0; i < kChurnConnections && Clock::now() < churnDeadline; ++i) {
        RawWsPeer page;
        if (!page.connectTcp(port_) || page.handshake(port_) != 101) continue;
        ++opened;
        if (i % 4 == 0) {
            ++asked;
            if (page.sendText(kDevCount) && page.readText() == kDevCountReply) ++answered;
            churnFrames += page.skipped();
        }
        if (i % 10 == 5) {
            // Stay until a preview frame arrives, then leave while the next is on its way.
            const auto frameDeadline = Clock::now() + 2s;
            while (Clock::now() < frameDeadline) {
                const auto frame = page.readFrame(500ms);
                if (frame && frame->payload.rfind("$*$", 0) == 0) {
                    ++churnFrames;
                    ++previewedChurns;
                    break;
                }
            }
        }
        switch (i % 3) {
        case 0:
            page.sendClose();
            page.endedByServer(2s);
            break;
        case 1:
            page.abort();
            break;
        default:
            page.closeSocket();
            break;
        }
    }
    const double churnSeconds = secondsSince(churnStart);
    churning = false;
    previewReader.join();
    std::printf("soak: churn %d/%d connections in %.1f s (%.0f/s), %d/%d answered, preview frames: %zu to the "
                "first page, %zu to the churning ones (%d of %d waited for one)\n",
                opened, kChurnConnections, churnSeconds, opened / churnSeconds, answered, asked,
                previewPageFrames.load(), churnFrames, previewedChurns, kChurnConnections / 10);
    EXPECT_EQ(opened, kChurnConnections);
    EXPECT_EQ(answered, asked);
    // The newest connection gets the preview: each one that waited for a frame got one.
    EXPECT_EQ(previewedChurns, kChurnConnections / 10);

    // 3. Ten thousand mixed requests, a hundred in flight at a time, with preview frames
    // interleaved; every reply must be the next one expected.
    {
        auto page = openPage(port_);
        ASSERT_TRUE(page);
        const std::vector<Exchange> kinds = mixedExchanges();
        int sent = 0;
        int replies = 0;
        int outOfOrder = 0;
        std::string firstMismatch;
        const auto mixedStart = Clock::now();
        const auto mixedDeadline = mixedStart + 300s;
        while (sent < kMixedRequests && Clock::now() < mixedDeadline && outOfOrder == 0) {
            std::vector<std::string> expected;
            std::string batch;
            for (int k = 0; k < kPipelineWindow && sent < kMixedRequests; ++k, ++sent) {
                const Exchange& exchange = kinds[static_cast<size_t>(sent * 7 + sent / 3) % kinds.size()];
                batch += RawWsPeer::clientFrame(1, exchange.request);
                if (exchange.reply) expected.push_back(*exchange.reply);
            }
            ASSERT_TRUE(page->sendAll(batch));
            for (const std::string& reply : expected) {
                const auto got = page->readText();
                if (got != reply) {
                    ++outOfOrder;
                    firstMismatch = "expected " + reply + ", got " + got.value_or("(nothing)");
                    break;
                }
                ++replies;
            }
        }
        const double mixedSeconds = secondsSince(mixedStart);
        std::printf("soak: %d mixed requests in %.1f s (%.0f/s), %d replies in order, %zu preview frames "
                    "interleaved\n",
                    sent, mixedSeconds, sent / mixedSeconds, replies, page->skipped());
        EXPECT_EQ(sent, kMixedRequests);
        EXPECT_EQ(outOfOrder, 0) << firstMismatch;
    }

    // 4. A page that stops reading: it becomes the current page, asks two hundred questions and
    // reads nothing for five seconds while the preview goes on. The service keeps its memory
    // bounded (it skips preview frames), and the next page is answered.
    {
        auto stalled = openPage(port_);
        ASSERT_TRUE(stalled);
        std::string questions;
        for (int i = 0; i < 200; ++i) questions += RawWsPeer::clientFrame(1, kDevCount);
        ASSERT_TRUE(stalled->sendAll(questions));
        const long before = residentKiB(pid_);
        long highest = before;
        const auto stallStart = Clock::now();
        while (Clock::now() - stallStart < 5s) {
            std::this_thread::sleep_for(250ms);
            highest = std::max(highest, residentKiB(pid_));
        }
        EXPECT_TRUE(serviceAnswers(port_));
        std::printf("soak: a page that stopped reading for 5 s: resident %ld KiB before, at most %ld KiB meanwhile\n",
                    before, highest);
        EXPECT_LT(highest - before, 64 * 1024 + kSanitizerSlackKiB) << "the service queued without bound behind a page that does not read";
        stalled->abort();
    }

    // 5. A 100 MB frame: refused by its announcement, closed with 1009, and nothing else
    // disturbed.
    {
        RawWsPeer huge;
        ASSERT_TRUE(huge.connectTcp(port_));
        ASSERT_EQ(huge.handshake(port_), 101);
        ASSERT_TRUE(huge.sendAll(RawWsPeer::clientFrameHeader(2, kHugeFrameBytes)));
        const std::string chunk(1 << 20, 'z');
        size_t taken = 0;
        const auto hugeDeadline = Clock::now() + 20s;
        while (taken < kHugeFrameBytes && Clock::now() < hugeDeadline) {
            const size_t sent = huge.sendUntil(chunk, std::min(hugeDeadline, Clock::now() + 1s));
            taken += sent;
            if (sent < chunk.size()) break;  // the service stopped taking bytes
        }
        const auto closing = huge.readFrame(10s);
        std::printf("soak: 100 MB frame: %zu bytes taken before the service stopped reading, close code %d\n", taken,
                    closing ? closing->closeCode() : -1);
        ASSERT_TRUE(closing.has_value());
        EXPECT_EQ(closing->closeCode(), 1009);
        EXPECT_TRUE(serviceAnswers(port_));
    }

    // 6. Half-open connections: sockets that never speak, that stop inside the upgrade request,
    // and that stop inside a frame. The service answers a page meanwhile, and drops those that
    // never finish their handshake.
    {
        std::vector<std::unique_ptr<RawWsPeer>> silent;
        std::vector<std::unique_ptr<RawWsPeer>> partialUpgrade;
        std::vector<std::unique_ptr<RawWsPeer>> partialFrame;
        for (int i = 0; i < 200; ++i) {
            auto peer = std::make_unique<RawWsPeer>();
            if (peer->connectTcp(port_)) silent.push_back(std::move(peer));
        }
        for (int i = 0; i < 100; ++i) {
            auto peer = std::make_unique<RawWsPeer>();
            if (peer->connectTcp(port_) && peer->sendAll("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgr"))
                partialUpgrade.push_back(std::move(peer));
        }
        for (int i = 0; i < 100; ++i) {
            auto peer = std::make_unique<RawWsPeer>();
            if (peer->connectTcp(port_) && peer->handshake(port_) == 101 &&
                peer->sendAll(RawWsPeer::clientFrameHeader(1, 1000).substr(0, 3)))
                partialFrame.push_back(std::move(peer));
        }
        EXPECT_TRUE(serviceAnswers(port_));
        // websocketpp gives an upgrade five seconds.
        std::this_thread::sleep_for(6500ms);
        size_t dropped = 0;
        for (auto* group : {&silent, &partialUpgrade}) {
            for (auto& peer : *group) dropped += peer->endedByServer(100ms) ? 1 : 0;
        }
        std::printf("soak: half-open: %zu silent, %zu inside the upgrade, %zu inside a frame; %zu of the first two "
                    "kinds dropped by the service after its handshake timeout\n",
                    silent.size(), partialUpgrade.size(), partialFrame.size(), dropped);
        EXPECT_EQ(silent.size() + partialUpgrade.size(), 300u);
        EXPECT_EQ(partialFrame.size(), 100u);
        EXPECT_EQ(dropped, silent.size() + partialUpgrade.size());
        EXPECT_TRUE(serviceAnswers(port_));
        for (auto& peer : partialFrame) peer->abort();
    }

    // 7. Garbage on the port: random bytes instead of an upgrade, random bytes after one, and a
    // header line that never ends. Each group is sent at once and then waited for together.
    {
        std::mt19937 random(20261208);
        const auto garbage = [&random](size_t size) {
            std::string bytes(size, '\0');
            for (char& c : bytes) c = static_cast<char>(random() & 0xff);
            return bytes;
        };
        const auto endedWithin = [](std::vector<std::unique_ptr<RawWsPeer>>& peers, auto timeout) {
            const auto deadline = Clock::now() + timeout;
            size_t ended = 0;
            for (auto& peer : peers) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                ended += peer->endedByServer(std::max(left, std::chrono::milliseconds(1))) ? 1 : 0;
            }
            return ended;
        };
        std::vector<std::unique_ptr<RawWsPeer>> before;
        for (int i = 0; i < 50; ++i) {
            auto peer = std::make_unique<RawWsPeer>();
            if (!peer->connectTcp(port_)) continue;
            peer->sendAll(garbage(4096));
            before.push_back(std::move(peer));
        }
        const size_t endedBefore = endedWithin(before, 8s);
        std::vector<std::unique_ptr<RawWsPeer>> after;
        for (int i = 0; i < 50; ++i) {
            auto peer = std::make_unique<RawWsPeer>();
            if (!peer->connectTcp(port_) || peer->handshake(port_) != 101) continue;
            std::string bytes = garbage(4096);
            // Reserved bits set in the first frame header: garbage that cannot pass for the start
            // of a long frame the service would rightly wait for.
            bytes[0] = static_cast<char>(bytes[0] | 0x70);
            peer->sendAll(bytes);
            after.push_back(std::move(peer));
        }
        const size_t endedAfter = endedWithin(after, 8s);
        std::vector<std::unique_ptr<RawWsPeer>> longLines;
        for (int i = 0; i < 5; ++i) {
            auto peer = std::make_unique<RawWsPeer>();
            if (!peer->connectTcp(port_)) continue;
            peer->sendUntil("GET / HTTP/1.1\r\nX-Long: " + std::string(1 << 20, 'a'), Clock::now() + 2s);
            longLines.push_back(std::move(peer));
        }
        const size_t endedLongLine = endedWithin(longLines, 8s);
        std::printf("soak: garbage: %zu/50 connections ended before the upgrade, %zu/50 after it, %zu/5 with an "
                    "endless header\n",
                    endedBefore, endedAfter, endedLongLine);
        EXPECT_EQ(endedBefore, 50u);
        EXPECT_EQ(endedAfter, 50u);
        EXPECT_EQ(endedLongLine, 5u);
        EXPECT_TRUE(serviceAnswers(port_));
    }

    // 8. Afterwards: the same process answers, the preview still runs, and memory is back near
    // where it was after the warm-up.
    {
        auto page = openPage(port_);
        ASSERT_TRUE(page);
        for (const Exchange& exchange : mixedExchanges()) {
            if (!exchange.reply) continue;
            ASSERT_TRUE(page->sendText(exchange.request));
            EXPECT_EQ(page->readText(), *exchange.reply);
        }
        std::optional<RawWsPeer::Frame> frame;
        const auto frameDeadline = Clock::now() + 10s;
        while (Clock::now() < frameDeadline && !(frame && frame->payload.rfind("$*$", 0) == 0))
            frame = page->readFrame(1s);
        EXPECT_TRUE(frame && frame->payload.rfind("$*$", 0) == 0) << "the preview stopped";
        ASSERT_TRUE(page->sendText(R"({"FuncName":"camCloseDev","argument":{"devIndex":1}})"));
        EXPECT_EQ(page->readText(), R"({"FuncName":"camCloseDev","result":"0"})");
    }
    previewPage->abort();
    std::this_thread::sleep_for(2s);
    const long endKiB = residentKiB(pid_);
    std::printf("soak: resident %ld KiB after warm-up, peak %ld KiB, %ld KiB at the end (%+ld KiB); %.0f s in all\n",
                baselineKiB, sampler.peak(), endKiB, endKiB - baselineKiB, secondsSince(started));
    EXPECT_TRUE(sameProcessAlive()) << "the service crashed or was relaunched";
    EXPECT_LT(endKiB - baselineKiB, 48 * 1024 + kSanitizerSlackKiB) << "memory did not come back after the load";
    EXPECT_EQ(server_->stop(), 0) << server_->standardError();
}

}  // namespace
}  // namespace lenvaro::testing
