// The live preview end to end: the real executable on its built-in library, the simulated
// document camera at 1920x1080 and 30 frames per second.
//   1. A page that reads everything: preview frames per second received, bytes per frame, the
//      JPEG size decoded from a frame, and the service's share of one CPU.
//   2. A page that stops reading: the service's resident memory, sampled every few seconds;
//      preview frames are dropped rather than queued, so it must level off.
// Usage: bench_preview_e2e [seconds reading] [seconds stalled] [preview width]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/base64.h"
#include "common/jpeg_codec.h"
#include "process_info.h"
#include "raw_ws_peer.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using lenvaro::testing::RawWsPeer;
using lenvaro::testing::ServerProcess;
using lenvaro::testing::WsTestClient;

// User plus system CPU time of the process, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stoull(field);
        if (i == 15) system = std::stoull(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory of the process, in MiB.
double residentMiB(pid_t pid) { return static_cast<double>(lenvaro::testing::residentKiB(pid)) / 1024.0; }

// A WebSocket page that sends its requests and then never reads again; false when it could not.
bool startStalledPage(RawWsPeer& page, uint16_t port, const std::string& previewWidth) {
    return page.connectTcp(port) && page.handshake(port) == 101 &&
           page.sendText(R"({"FuncName":"PreZoneSize","argument":{"width":)" + previewWidth + "}}") &&
           page.sendText(
               R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":1920,"height":1080}})");
}

}  // namespace

int main(int argc, char** argv) {
    const int readingSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int stalledSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 60;
    const std::string previewWidth = argc > 3 ? argv[3] : "640";

    ServerProcess::Options options;
    ServerProcess server(options);
    const std::string config = server.root().file("simulator.json");
    std::ofstream(config) << R"({"cameras": {"frameRate": 30}})";
    server.setEnvironment("PICTAVO_CONFIG", config);
    const uint16_t port = server.start();
    if (port == 0) {
        std::fprintf(stderr, "the service did not start:\n%s\n", server.standardError().c_str());
        return 1;
    }
    const pid_t pid = lenvaro::testing::processRunning(server.root().file("bin/lenvaro-server"));
    if (pid <= 0) {
        std::fprintf(stderr, "cannot find the service process\n");
        return 1;
    }

    std::printf("simulated document camera 1920x1080 at 30 fps, preview width %s\n\n",
                previewWidth.c_str());
    {
        WsTestClient page;
        if (!page.connect(port)) return 1;
        page.send(R"({"FuncName":"PreZoneSize","argument":{"width":)" + previewWidth + "}}");
        page.send(
            R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":1920,"height":1080}})");
        // Let the camera settle before measuring.
        const auto settle = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < settle) page.receive(std::chrono::milliseconds(100));

        size_t frames = 0, bytes = 0;
        std::string lastFrame;
        const double cpuBefore = cpuSeconds(pid);
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(readingSeconds);
        // Resident memory while the page keeps up: it must not grow over the minutes.
        const double residentAtStart = residentMiB(pid);
        double residentPeak = residentAtStart;
        auto nextSample = start + std::chrono::seconds(5);
        while (Clock::now() < end) {
            if (Clock::now() >= nextSample) {
                residentPeak = std::max(residentPeak, residentMiB(pid));
                nextSample += std::chrono::seconds(5);
            }
            const auto message = page.receive(std::chrono::milliseconds(100));
            if (!message || message->rfind("$*$", 0) != 0) continue;
            ++frames;
            bytes += message->size();
            lastFrame = *message;
        }
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = cpuSeconds(pid) - cpuBefore;
        size_t decodedBytes = 0;
        const std::string jpegBytes =
            lenvaro::base64Decode(lastFrame.substr(3), lastFrame.size() - 3, decodedBytes);
        lenvaro::jpeg::Info info;
        const bool decoded = lenvaro::jpeg::readInfo(
            reinterpret_cast<const uint8_t*>(jpegBytes.data()), jpegBytes.size(), info);
        std::printf("reading page: %.1f frames/s received, %.0f bytes per message, JPEG %dx%d%s\n",
                    static_cast<double>(frames) / wall,
                    frames ? static_cast<double>(bytes) / frames : 0.0, info.width, info.height,
                    decoded ? "" : " (not decodable!)");
        const double residentAtEnd = residentMiB(pid);
        std::printf("service CPU: %.1f%% of one core (camera simulation included)\n",
                    100.0 * cpu / wall);
        std::printf("resident while reading: start %.1f MiB, peak %.1f MiB, end %.1f MiB\n\n",
                    residentAtStart, std::max(residentPeak, residentAtEnd), residentAtEnd);
        page.send(R"({"FuncName":"camCloseDev","argument":{"devIndex":0}})");
        page.receive(std::chrono::seconds(1));
    }

    RawWsPeer stalled;
    if (!startStalledPage(stalled, port, previewWidth)) {
        std::fprintf(stderr, "the stalled page could not connect\n");
        return 1;
    }
    std::printf("page that stops reading, resident memory of the service:\n");
    double first = 0, peak = 0, last = 0;
    const int step = std::max(1, stalledSeconds / 12);
    for (int second = 0; second <= stalledSeconds; second += step) {
        last = residentMiB(pid);
        if (second == 0) first = last;
        peak = std::max(peak, last);
        std::printf("  %4d s  %7.1f MiB\n", second, last);
        std::fflush(stdout);
        if (second + step <= stalledSeconds)
            std::this_thread::sleep_for(std::chrono::seconds(step));
    }
    std::printf("start %.1f MiB, peak %.1f MiB, end %.1f MiB\n", first, peak, last);
    return 0;
}
