// Several pages at once, through the real executable: each reply goes to the page that asked,
// pushes to the newest open page (and back to the one before when it closes), commands run
// beside the I/O thread, a page that does not read cannot make the service hold more than its
// cap while one that reads gets all it asked for, and requests waiting from all pages together
// are bounded.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "process_info.h"
#include "raw_ws_peer.h"
#include "server_process.h"
#include "service/ws_server.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

const std::string kFrame = "$*$SlBFRw==";
const std::string kDevCount = R"({"FuncName":"camGetDevCount"})";
const std::string kDevCountReply = R"({"FuncName":"camGetDevCount","result":"2"})";

class Connections : public ::testing::Test {
protected:
    static ServerProcess::Options fakeLibrary() {
        ServerProcess::Options options;
        options.library = LENVARO_FAKE_LIBRARY;
        return options;
    }

    uint16_t start(const std::string& script) {
        std::ofstream(server_->root().file("script.json")) << script;
        server_->setEnvironment("PICTAVO_FAKE_SCRIPT", server_->root().file("script.json"));
        return server_->start();
    }

    // The messages that are not preview frames, until `reply` (nullopt if it never comes);
    // `frames` counts the frames passed over.
    static std::optional<std::vector<std::string>> until(WsTestClient& page, const std::string& reply,
                                                         size_t* frames = nullptr,
                                                         std::chrono::milliseconds timeout = 10s) {
        std::vector<std::string> messages;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto message = page.receive(100ms);
            if (!message) continue;
            if (*message == kFrame) {
                if (frames != nullptr) ++*frames;
                if (reply == kFrame) return messages;
                continue;
            }
            messages.push_back(*message);
            if (*message == reply) return messages;
        }
        return std::nullopt;
    }

    // Everything that arrives within `period`.
    static std::vector<std::string> drain(WsTestClient& page, std::chrono::milliseconds period) {
        std::vector<std::string> messages;
        const auto deadline = std::chrono::steady_clock::now() + period;
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto message = page.receive(20ms)) messages.push_back(*message);
        }
        return messages;
    }

    std::unique_ptr<ServerProcess> server_ = std::make_unique<ServerProcess>(fakeLibrary());
};

// Tests that move hundreds of MiB or measure resident memory: under ThreadSanitizer (its shadow
// memory, a tenth of the pace) they would measure the sanitizer; their threads meet in the
// other tests here too.
#ifdef __SANITIZE_THREAD__
#define SKIP_UNDER_THREAD_SANITIZER() GTEST_SKIP() << "volume and memory test: not meaningful under ThreadSanitizer"
#else
#define SKIP_UNDER_THREAD_SANITIZER() (void)0
#endif

const std::string kStreamingScript = R"({"FileEncodeBase64":[{"text":"SlBFRw=="}],
    "camGetDevCount":[{"outInts":[2]}], "previewStream":{"width":320,"height":240,"fps":30}})";

TEST_F(Connections, RepliesGoToThePageThatAskedAndPushesToTheNewestOpenPage) {
    const uint16_t port = start(kStreamingScript);
    ASSERT_NE(port, 0) << server_->standardError();
    WsTestClient first, second;
    ASSERT_TRUE(first.connect(port));
    ASSERT_TRUE(second.connect(port));

    // Each page hears its own answers, the other nothing.
    first.send(kDevCount);
    EXPECT_EQ(first.receive(), kDevCountReply);
    second.send(kDevCount);
    EXPECT_EQ(second.receive(), kDevCountReply);
    EXPECT_TRUE(drain(first, 200ms).empty());

    // The first page opens the camera: the answer is its own, the frames go to the newest page.
    first.send(R"({"FuncName":"camOpenDev"})");
    EXPECT_EQ(first.receive(), R"({"FuncName":"camOpenDev","result":"0"})");
    EXPECT_TRUE(until(second, kFrame));
    EXPECT_TRUE(drain(first, 300ms).empty()) << "frames only go to one page";

    // The newest page closes: the frames come back to the page opened before it, which still
    // gets its answers.
    second.close();
    EXPECT_TRUE(until(first, kFrame));
    first.send(kDevCount);
    EXPECT_TRUE(until(first, kDevCountReply));

    // A page opened later takes the frames over.
    WsTestClient third;
    ASSERT_TRUE(third.connect(port));
    EXPECT_TRUE(until(third, kFrame));
    drain(first, 200ms);  // a frame under way when the third page opened
    const std::vector<std::string> late = drain(first, 300ms);
    EXPECT_TRUE(late.empty()) << late.size() << " messages";
}

TEST_F(Connections, AnAnswerForAPageThatHasGoneIsShownToNoOther) {
    const uint16_t port = start(R"({"camGetDevCount":[{"outInts":[2],"delayMs":600},{"outInts":[2]}]})");
    ASSERT_NE(port, 0) << server_->standardError();
    WsTestClient other;
    ASSERT_TRUE(other.connect(port));
    {
        WsTestClient leaving;
        ASSERT_TRUE(leaving.connect(port));
        leaving.send(kDevCount);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(drain(other, 1200ms).empty());
    EXPECT_EQ(other.roundTrip(kDevCount), kDevCountReply);
}

TEST_F(Connections, ALongCommandHoldsUpNeitherFramesNorNewPagesAndAnswersKeepTheirOrder) {
    const uint16_t port = start(R"({"FileEncodeBase64":[{"text":"SlBFRw=="}],
        "camGetDevCount":[{"outInts":[2]}], "previewStream":{"width":320,"height":240,"fps":30},
        "camUpdataFileHttp":[{"outTexts":["OK"],"delayMs":3000}]})");
    ASSERT_NE(port, 0) << server_->standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(R"({"FuncName":"camOpenDev"})");
    ASSERT_TRUE(until(page, R"({"FuncName":"camOpenDev","result":"0"})"));

    // Frames that came before the upload started do not count.
    drain(page, 200ms);
    page.send(R"({"FuncName":"camUpdataFileHttp","argument":{"filePath":"/a","url":"http://x/"}})");
    page.send(kDevCount);
    std::this_thread::sleep_for(300ms);
    // A new page gets in while the upload runs; its request waits its turn.
    WsTestClient late;
    ASSERT_TRUE(late.connect(port, 1s));
    late.send(kDevCount);

    size_t frames = 0;
    const auto answers = until(page, kDevCountReply, &frames);
    ASSERT_TRUE(answers);
    EXPECT_EQ(*answers, (std::vector<std::string>{R"({"FuncName":"camUpdataFileHttp","result":"OK"})",
                                                  kDevCountReply}));
    // Three seconds of a 30 fps camera: frames kept coming while the upload ran. A busy machine
    // delivers fewer; an I/O thread stalled by the upload delivers its frames only after the
    // upload's answer.
    EXPECT_GE(frames, 6u);
    EXPECT_TRUE(until(late, kDevCountReply));
}

TEST_F(Connections, APageThatSendsFarMoreRequestsThanWaitAtOnceGetsEveryAnswerInOrder) {
    // The first answer takes a while, so that the service stops reading the page with nothing
    // else under way on its connection.
    const uint16_t port = start(R"({"camGetDevCount":[{"outInts":[2],"delayMs":300},{"outInts":[2]}]})");
    ASSERT_NE(port, 0) << server_->standardError();
    // Several times what the service reads ahead before it stops reading that page for a while.
    const size_t requests = 5 * WsServer::kMaxWaitingRequests;
    RawWsPeer page;
    ASSERT_TRUE(page.connectTcp(port));
    ASSERT_EQ(page.handshake(port), 101);
    std::string burst;
    for (size_t i = 0; i < requests; ++i)
        burst += RawWsPeer::clientFrame(1, R"({"FuncName":"camGetDevCount","tag":")" + std::to_string(i) + R"("})");
    ASSERT_TRUE(page.sendAll(burst));
    for (size_t i = 0; i < requests; ++i) ASSERT_EQ(page.readText("", 20s), kDevCountReply) << i;
}

TEST_F(Connections, TwoHundredBackgroundMatchesStartFourWorkersAndAnswerTheRestBusyAtOnce) {
    server_ = std::make_unique<ServerProcess>();  // the built-in library's face engine
    const uint16_t port = server_->start();
    ASSERT_NE(port, 0) << server_->standardError();
    RawWsPeer page;
    ASSERT_TRUE(page.connectTcp(port));
    ASSERT_EQ(page.handshake(port), 101);
    // Each start in a frame of its own, as a page sends them; a threshold no score reaches.
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(page.sendText(
            R"({"FuncName":"camStartAsyMatchFaceBase64Video","argument":{"personFace":"QUJD","ldelayTime":400,"score":1000}})"));
    size_t busy = 0, scores = 0;
    for (int i = 0; i < 200; ++i) {
        const std::optional<std::string> answer = page.readText("", 20s);
        ASSERT_TRUE(answer) << "after " << i << " answers";
        (*answer == R"({"FuncName":"camStartAsyMatchFaceBase64Video","result":"-1"})" ? busy : scores)++;
    }
    EXPECT_EQ(busy, 196u);
    EXPECT_EQ(scores, 4u);
}

// A file whose Base64 answer is a few MiB.
std::string bigFile(const ServerProcess& server, size_t bytes) {
    const std::string path = server.root().file("big.bin");
    std::ofstream out(path, std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 2654435761u >> 13);
    for (size_t written = 0; written < bytes; written += chunk.size()) out << chunk;
    return path;
}

TEST_F(Connections, APageThatDoesNotReadIsClosedAtItsCapWhileOthersGoOn) {
    server_ = std::make_unique<ServerProcess>();  // the built-in library reads the file
    const uint16_t port = server_->start();
    ASSERT_NE(port, 0) << server_->standardError();
    const std::string path = bigFile(*server_, 4 << 20);
    const std::string request = R"({"FuncName":"FileEncodeBase64","argument":{"filePath":")" + path + R"("}})";
    constexpr int kRequests = 20;  // about 110 MiB of answers, three times the cap

    RawWsPeer sleeper;
    ASSERT_TRUE(sleeper.connectTcp(port));
    ASSERT_EQ(sleeper.handshake(port), 101);
    for (int i = 0; i < kRequests; ++i) ASSERT_TRUE(sleeper.sendText(request));

    // Requests run in arrival order: once another page has its answer, all twenty have run.
    WsTestClient other;
    ASSERT_TRUE(other.connect(port));
    EXPECT_EQ(other.roundTrip(R"({"FuncName":"camGetDevCount"})", 60s),
              R"({"FuncName":"camGetDevCount","result":"0"})");

    // The sleeper wakes up: it finds what fitted under the cap, then the end of the connection.
    size_t received = 0;
    size_t answers = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::optional<RawWsPeer::Frame> frame = sleeper.readFrame(5s);
        if (!frame || frame->opcode == 8) break;
        received += frame->payload.size();
        ++answers;
    }
    EXPECT_TRUE(sleeper.endedByServer(5s));
    const size_t answerBytes = ((4u << 20) + 2) / 3 * 4 * 78 / 76;
    EXPECT_LT(answers, static_cast<size_t>(kRequests));
    EXPECT_LE(received, WsServer::kMaxUnsentBytes + 2 * answerBytes) << answers << " answers";
    EXPECT_TRUE(other.isOpen());
    EXPECT_EQ(other.roundTrip(R"({"FuncName":"camGetDevCount"})"),
              R"({"FuncName":"camGetDevCount","result":"0"})");
}

// Two answers of 18 MB are more than the cap together: a page that reads them as a browser
// does, steadily, gets them all, however far the service has got ahead of it.
TEST_F(Connections, APageThatReadsSteadilyGetsEveryLargeAnswerItAskedForAtOnce) {
    SKIP_UNDER_THREAD_SANITIZER();
    server_ = std::make_unique<ServerProcess>();  // the built-in library reads the file
    const uint16_t port = server_->start();
    ASSERT_NE(port, 0) << server_->standardError();
    const std::string path = bigFile(*server_, 13 << 20);
    const std::string request = R"({"FuncName":"FileEncodeBase64","argument":{"filePath":")" + path + R"("}})";
    RawWsPeer page;
    ASSERT_TRUE(page.connectTcp(port));
    ASSERT_EQ(page.handshake(port), 101);
    page.readAtMost(20 << 20);
    constexpr int kAnswers = 3;
    for (int i = 0; i < kAnswers; ++i) ASSERT_TRUE(page.sendText(request));
    for (int i = 0; i < kAnswers; ++i) {
        const std::optional<RawWsPeer::Frame> frame = page.readFrame(30s);
        ASSERT_TRUE(frame) << "answer " << i;
        ASSERT_EQ(frame->opcode, 1) << "answer " << i << " closed with " << frame->closeCode();
        EXPECT_EQ(frame->payload.rfind("$*$", 0), 0u);
        EXPECT_GT(frame->payload.size(), 17u << 20) << i;
    }
}

// Many pages sending large requests while a long command runs: the service stops reading from
// any page that sends one more once all of theirs together reach the bound (each page stays far
// below its own), and reads on once they are worked off.
TEST_F(Connections, RequestsWaitingFromAllPagesTogetherAreBounded) {
    SKIP_UNDER_THREAD_SANITIZER();
    const uint16_t port = start(R"({"camGetDevCount":[{"outInts":[2],"delayMs":6000},{"outInts":[2]}]})");
    ASSERT_NE(port, 0) << server_->standardError();
    WsTestClient holder;
    ASSERT_TRUE(holder.connect(port));
    holder.send(kDevCount);
    std::this_thread::sleep_for(200ms);
    const long before = residentKiB(server_->pid());

    // Six pages of six 8 MiB requests: 288 MiB when all are taken in, 48 MiB a page.
    constexpr size_t kPages = 6, kRequestsEach = 6;
    const std::string request = RawWsPeer::clientFrame(2, std::string(8 << 20, 'x'));
    std::vector<std::unique_ptr<RawWsPeer>> pages;
    std::vector<size_t> sent;
    for (size_t i = 0; i < kPages; ++i) {
        pages.push_back(std::make_unique<RawWsPeer>());
        ASSERT_TRUE(pages.back()->connectTcp(port));
        ASSERT_EQ(pages.back()->handshake(port), 101);
        std::string all;
        for (size_t r = 0; r < kRequestsEach; ++r) all += request;
        sent.push_back(pages.back()->sendUntil(all, std::chrono::steady_clock::now() + 700ms));
    }
    const long grownMiB = (residentKiB(server_->pid()) - before) / 1024;
    // The bound (128 MiB) and one more request from each page that sent after it was reached.
    EXPECT_LT(grownMiB, 224) << "MiB taken in while the command ran";

    // The long command ends, the requests are worked off and every page is read again.
    EXPECT_EQ(holder.receive(10s), kDevCountReply);
    std::string all;
    for (size_t r = 0; r < kRequestsEach; ++r) all += request;
    for (size_t i = 0; i < kPages; ++i) {
        ASSERT_TRUE(pages[i]->sendAll(all.substr(sent[i])));
        ASSERT_TRUE(pages[i]->sendText(kDevCount));
        EXPECT_EQ(pages[i]->readText("", 20s), kDevCountReply) << "page " << i;
    }
}

// A page read again after the service stopped reading it (more than 64 requests waited) and that
// then sends a message larger than one read: it arrives whole.
TEST_F(Connections, APageReadAgainAfterABacklogGetsItsLargeMessagesWhole) {
    const uint16_t port = start(R"({"camGetDevCount":[{"outInts":[2],"delayMs":300},{"outInts":[2]}]})");
    ASSERT_NE(port, 0) << server_->standardError();
    RawWsPeer page;
    ASSERT_TRUE(page.connectTcp(port));
    ASSERT_EQ(page.handshake(port), 101);
    std::string burst;
    for (size_t i = 0; i <= WsServer::kMaxWaitingRequests; ++i) burst += RawWsPeer::clientFrame(1, kDevCount);
    ASSERT_TRUE(page.sendAll(burst));
    for (size_t i = 0; i <= WsServer::kMaxWaitingRequests; ++i) ASSERT_EQ(page.readText("", 10s), kDevCountReply) << i;
    // Reading resumed while the page sent nothing; now a request of 300 KB.
    const std::string large = R"({"FuncName":"camGetDevCount","tag":")" + std::string(300 << 10, 't') + R"("})";
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(page.sendText(large));
        EXPECT_EQ(page.readText("", 10s), kDevCountReply) << i;
    }
}

}  // namespace
}  // namespace lenvaro::testing
