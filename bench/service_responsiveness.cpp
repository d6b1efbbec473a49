// What a page sees of the service while another command runs long, and what a misbehaving page
// can cost it, measured against the real executable on its built-in library (simulated cameras):
//   1. preview frames a page receives during a 3 s upload (to a local server that answers after
//      three seconds), and how long a new page takes to connect meanwhile;
//   2. preview frames received during the OCR of an A4 page at 300 dpi;
//   3. resident memory while a page sends twenty requests for an 8 MiB file as Base64 and reads
//      nothing;
//   4. threads after 200 background face matches were started.
// Usage: bench_responsiveness [baseline build directory]: with one (holding bin/lenvaro-server and
// lib/libpictavo.so, e.g. the main branch's build/), that build is measured the same way after.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "loopback_socket.h"
#include "page_painter.h"
#include "process_info.h"
#include "raw_ws_peer.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lenvaro::testing::RawWsPeer;
using lenvaro::testing::ServerProcess;
using lenvaro::testing::simulatedCamerasOf;
using lenvaro::testing::WsTestClient;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A one-shot HTTP server on loopback that reads a request and answers "OK" after `delay`.
class SlowHttpServer {
public:
    explicit SlowHttpServer(std::chrono::milliseconds delay) : delay_(delay) {
        listener_ = lenvaro::testing::listenOnLoopback(port_, 4);
        thread_ = std::thread([this] { serve(); });
    }
    ~SlowHttpServer() {
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    uint16_t port() const { return port_; }

private:
    void serve() {
        const int peer = accept(listener_, nullptr, nullptr);
        if (peer < 0) return;
        // The whole request (headers and the small file) arrives at once on loopback.
        char buffer[65536];
        const auto until = Clock::now() + 2s;
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos && Clock::now() < until) {
            const ssize_t got = recv(peer, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            request.append(buffer, static_cast<size_t>(got));
        }
        std::this_thread::sleep_for(delay_);
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
        send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
        close(peer);
    }
    std::chrono::milliseconds delay_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// Frames (and the time until `reply` arrives) while `request` runs, on a page whose camera is
// open; false when no reply came.
struct FramesDuring {
    int frames = 0;
    double seconds = 0;
    double connectSeconds = -1;  // a second page connecting half a second in
    bool ok = false;
};

FramesDuring framesDuring(uint16_t port, const std::string& request, const std::string& replyStart) {
    FramesDuring result;
    WsTestClient page;
    if (!page.connect(port)) return result;
    page.send(R"({"FuncName":"PreZoneSize","argument":{"width":640}})");
    page.send(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":1920,"height":1080}})");
    const auto settle = Clock::now() + 3s;
    while (Clock::now() < settle) page.receive(100ms);  // the camera runs; drop what came so far

    const auto start = Clock::now();
    page.send(request);
    std::thread late([&] {
        std::this_thread::sleep_for(500ms);
        WsTestClient second;
        const auto connecting = Clock::now();
        if (second.connect(port, 10s)) result.connectSeconds = secondsSince(connecting);
    });
    while (secondsSince(start) < 120) {
        const auto message = page.receive(1s);
        if (!message) continue;
        if (message->rfind("$*$", 0) == 0 && message->rfind("$*$FileEncodeBase64", 0) != 0) {
            ++result.frames;
            continue;
        }
        if (message->rfind(replyStart, 0) == 0) {
            result.ok = true;
            break;
        }
    }
    result.seconds = secondsSince(start);
    late.join();
    return result;
}

void printFrames(const char* what, const FramesDuring& f) {
    std::printf("  %-26s %3d frames in %.2f s (%.1f/s)%s; a new page connected in %s\n", what, f.frames,
                f.seconds, f.seconds > 0 ? f.frames / f.seconds : 0.0, f.ok ? "" : " (no answer)",
                f.connectSeconds < 0 ? "(not at all)" : (std::to_string(static_cast<int>(f.connectSeconds * 1000)) + " ms").c_str());
}

std::string a4Page(const std::string& folder) {
    pictavo_test::GrayImage page = pictavo_test::blankPage(2480, 3508);
    pictavo_test::TextPainter painter(pictavo_test::kLatinFont);
    const std::string sentence = "The quick brown fox jumps over the lazy dog while the clerk scans";
    for (int baseline = 400; baseline < 3400; baseline += 80) painter.draw(page, 200, baseline, 46, sentence);
    const std::string path = folder + "/a4.png";
    return pictavo_test::writeImage(page, path) ? path : "";
}

// Peak resident memory while a page asks for an 8 MiB file as Base64 twenty times and reads
// nothing; then what is left once it has gone.
void residentMemory(ServerProcess& server, uint16_t port, pid_t pid) {
    const std::string path = server.root().file("big.bin");
    {
        std::ofstream out(path, std::ios::binary);
        std::string chunk(1 << 20, '\0');
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((i * 2654435761u) >> 13);
        for (int i = 0; i < 8; ++i) out << chunk;
    }
    const long before = lenvaro::testing::residentKiB(pid);
    long peak = before;
    RawWsPeer sleeper;
    if (!sleeper.connectTcp(port) || sleeper.handshake(port) != 101) {
        std::printf("  (could not connect)\n");
        return;
    }
    const std::string request = R"({"FuncName":"FileEncodeBase64","argument":{"filePath":")" + path + R"("}})";
    for (int i = 0; i < 20; ++i) sleeper.sendText(request);
    const auto until = Clock::now() + 15s;
    while (Clock::now() < until) {
        peak = std::max(peak, lenvaro::testing::residentKiB(pid));
        std::this_thread::sleep_for(20ms);
    }
    const bool closed = sleeper.endedByServer(100ms);
    sleeper.closeSocket();
    std::this_thread::sleep_for(2s);
    std::printf("  resident memory: %ld MiB before, %ld MiB at most while the page did not read, %ld MiB after it"
                " went (connection %s by the service)\n",
                before / 1024, peak / 1024, lenvaro::testing::residentKiB(pid) / 1024,
                closed ? "closed" : "not closed");
}

long threadsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::atol(line.c_str() + 8);
    return -1;
}

void backgroundMatches(uint16_t port, pid_t pid) {
    WsTestClient page;
    if (!page.connect(port)) return;
    page.roundTrip(R"({"FuncName":"camInitFace"})");
    const long before = threadsOf(pid);
    // A threshold no score reaches and a budget of five seconds: every worker runs its budget.
    for (int i = 0; i < 200; ++i)
        page.send(R"({"FuncName":"camStartAsyMatchFaceBase64Video","argument":{"personFace":"QUJD","ldelayTime":5000,"score":1000}})");
    int busy = 0;
    const auto until = Clock::now() + 2s;
    while (Clock::now() < until) {
        const auto message = page.receive(100ms);
        if (message && message->find(R"("result":"-1")") != std::string::npos) ++busy;
    }
    std::printf("  threads: %ld before, %ld after 200 starts (%d answered busy at once)\n", before,
                threadsOf(pid), busy);
}

void measure(const std::string& name, const std::string& build, const std::string& scratch) {
    std::printf("%s\n", name.c_str());
    {
        ServerProcess server(simulatedCamerasOf(build));
        const uint16_t port = server.start();
        if (port == 0) {
            std::printf("  (could not start)\n");
            return;
        }
        const std::string file = server.root().file("upload.bin");
        std::ofstream(file) << std::string(100 * 1024, 'u');
        SlowHttpServer http(3000ms);
        printFrames("during a 3 s upload:",
                    framesDuring(port,
                                 R"({"FuncName":"camUpdataFileHttp","argument":{"filePath":")" + file +
                                     R"(","url":"http://127.0.0.1:)" + std::to_string(http.port()) + R"(/","param":""}})",
                                 R"({"FuncName":"camUpdataFileHttp")"));
        const std::string page = a4Page(scratch);
        printFrames("during an A4 OCR:",
                    framesDuring(port,
                                 R"({"FuncName":"ocrCombineSingleToString","argument":{"strImagePath":")" + page +
                                     R"(","language":0}})",
                                 "$-$"));
    }
    {
        ServerProcess server(simulatedCamerasOf(build));
        const uint16_t port = server.start();
        const pid_t pid = lenvaro::testing::processRunning(server.root().file("bin/lenvaro-server"));
        residentMemory(server, port, pid);
    }
    {
        ServerProcess server(simulatedCamerasOf(build));
        const uint16_t port = server.start();
        const pid_t pid = lenvaro::testing::processRunning(server.root().file("bin/lenvaro-server"));
        backgroundMatches(port, pid);
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    lenvaro::ScratchDirectory scratch;
    measure("lenvaro-server (this build)", "", scratch.path());
    if (argc > 1) measure(std::string("lenvaro-server (") + argv[1] + ")", argv[1], scratch.path());
    return 0;
}
