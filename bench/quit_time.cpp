// Time from SIGTERM to the end of the process, with the exit status, while the service is idle,
// while a live face match asked to run for 2147483647 ms looks at the camera, while an upload
// waits for a server that never answers, and (on the recording fake) while a library call never
// returns. The real executable on its built-in library (simulated cameras).
// Usage: bench_quit_time [baseline build directory]: with one (holding bin/lenvaro-server and
// lib/libpictavo.so), that build is measured the same way after; a process still running after
// kPatience is killed and reported so.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/jpeg_codec.h"
#include "loopback_socket.h"
#include "common/paths.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lenvaro::testing::ServerProcess;
using lenvaro::testing::simulatedCamerasOf;
using lenvaro::testing::WsTestClient;

constexpr auto kPatience = 30s;
constexpr int kRuns = 5;

struct Quit {
    double seconds = 0;
    int status = -1;  // -1: still running after kPatience, then killed
};

// Starts a server, lets `busy` put it to work on `page`, then sends SIGTERM and times the end.
Quit quitWhile(ServerProcess::Options options, const std::function<void(ServerProcess&, WsTestClient&)>& busy) {
    ServerProcess server(std::move(options));
    Quit quit;
    const uint16_t port = server.start(20s);
    WsTestClient page;
    if (port == 0 || !page.connect(port)) return quit;
    busy(server, page);
    const auto start = Clock::now();
    kill(server.pid(), SIGTERM);
    quit.status = server.waitForExit(kPatience);
    quit.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return quit;  // the destructor kills what is still running
}

void report(const char* what, std::vector<Quit> quits) {
    std::sort(quits.begin(), quits.end(), [](const Quit& a, const Quit& b) { return a.seconds < b.seconds; });
    std::string statuses;
    for (const Quit& quit : quits) statuses += (statuses.empty() ? "" : ",") + std::to_string(quit.status);
    std::printf("  %-44s min %6.3f s  median %6.3f s  max %6.3f s  exit status %s\n", what, quits.front().seconds,
                quits[quits.size() / 2].seconds, quits.back().seconds, statuses.c_str());
    std::fflush(stdout);
}

// A colour gradient, nothing like a face or a document.
void writeGradient(const std::string& path) {
    const int width = 320, height = 240;
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>((i / 3 % width) * (i % 3 + 1));
    std::vector<uint8_t> jpeg;
    lenvaro::jpeg::encode(rgb.data(), width, height, 3, width * 3u, {}, jpeg);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
}

void measure(const std::string& title, const std::string& build, const std::string& neverReturns) {
    std::printf("%s, SIGTERM to exit (%d runs each):\n", title.c_str(), kRuns);
    const auto runs = [&](const char* what, const std::function<Quit()>& one) {
        std::vector<Quit> quits;
        for (int i = 0; i < kRuns; ++i) quits.push_back(one());
        report(what, quits);
    };
    runs("idle", [&] { return quitWhile(simulatedCamerasOf(build), [](ServerProcess&, WsTestClient&) {}); });

    runs("live match, ldelayTime 2147483647", [&] {
        return quitWhile(simulatedCamerasOf(build), [](ServerProcess& server, WsTestClient& page) {
            // A reference unlike the simulated camera's picture: no score reaches certainty, so
            // the match goes on.
            const std::string reference = server.root().file("reference.jpg");
            writeGradient(reference);
            page.roundTrip(R"({"FuncName":"camInitFace"})", 20s);
            page.roundTrip(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":640,"height":480}})", 20s);
            page.send(R"({"FuncName":"camMatchFaceByFileVideo","argument":{"filePath":")" + reference +
                      R"(","ldelayTime":2147483647}})");
            std::this_thread::sleep_for(1s);
        });
    });

    runs("upload to a server that never answers", [&] {
        return quitWhile(simulatedCamerasOf(build), [](ServerProcess& server, WsTestClient& page) {
            static uint16_t silentPort = 0;
            static const int silent = lenvaro::testing::listenOnLoopback(silentPort, 64);
            (void)silent;
            const std::string file = server.root().file("scan.jpg");
            std::ofstream(file) << "scan";
            page.send(R"({"FuncName":"camUpdataFileHttp","argument":{"filePath":")" + file +
                      R"(","url":"http://127.0.0.1:)" + std::to_string(silentPort) + R"(/up"}})");
            std::this_thread::sleep_for(1s);
        });
    });

#ifdef LENVARO_FAKE_LIBRARY
    runs("library call that never returns (fake library)", [&] {
        ServerProcess::Options options = simulatedCamerasOf(build);
        options.library = LENVARO_FAKE_LIBRARY;
        options.environment["PICTAVO_FAKE_SCRIPT"] = neverReturns;
        return quitWhile(options, [](ServerProcess&, WsTestClient& page) {
            page.send(R"({"FuncName":"camGetDevCount"})");
            std::this_thread::sleep_for(1s);
        });
    });
#endif
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    lenvaro::ScratchDirectory scratch;
    const std::string neverReturns = scratch.file("never-returns.json");
    std::ofstream(neverReturns) << R"({"camGetDevCount":[{"outInts":[1],"delayMs":3600000}]})";
    measure("lenvaro-server (this build)", "", neverReturns);
    if (argc > 1) measure(std::string("lenvaro-server (") + argv[1] + ")", argv[1], neverReturns);
    return 0;
}
