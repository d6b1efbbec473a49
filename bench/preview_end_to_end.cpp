// The live preview end to end: the real executable on its built-in library, the simulated
// document camera at 1920x1080 and 30 frames per second.
//   1. A page that reads everything: preview frames per second received, bytes per frame, the
//      JPEG size decoded from a frame, and the service's share of one CPU.
//   2. A page that stops reading: the service's resident memory, sampled every few seconds;
//      preview frames are dropped rather than queued, so it must level off.
// Usage: bench_preview_e2e [seconds reading] [seconds stalled] [preview width]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "files/base64.h"
#include "files/jpeg_codec.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using lenvaro::testing::ServerProcess;
using lenvaro::testing::WsTestClient;

// The process running `executable` (the private copy the server process made).
pid_t findProcess(const std::string& executable) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    pid_t found = -1;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        char target[4096];
        const std::string link = "/proc/" + std::to_string(pid) + "/exe";
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<size_t>(length)) == executable) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

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
double residentMiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

// A client frame: text, final, masked (as every client frame must be).
std::string maskedTextFrame(const std::string& text) {
    std::string frame = "\x81";
    const uint8_t mask[4] = {0x12, 0x34, 0x56, 0x78};
    if (text.size() < 126) {
        frame += static_cast<char>(0x80 | text.size());
    } else {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>(text.size() >> 8);
        frame += static_cast<char>(text.size() & 0xFF);
    }
    frame.append(reinterpret_cast<const char*>(mask), 4);
    for (size_t i = 0; i < text.size(); ++i) frame += static_cast<char>(text[i] ^ mask[i % 4]);
    return frame;
}

// A WebSocket page that sends its requests and then never reads again.
int stalledPage(uint16_t port, const std::string& previewWidth) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    const std::string handshake =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    std::string requests = handshake;
    if (write(fd, requests.data(), requests.size()) != static_cast<ssize_t>(requests.size()))
        return -1;
    char answer[1024];
    if (read(fd, answer, sizeof answer) <= 0) return -1;  // the 101 answer
    requests =
        maskedTextFrame(R"({"FuncName":"PreZoneSize","argument":{"width":)" + previewWidth + "}}") +
        maskedTextFrame(
            R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":1920,"height":1080}})");
    if (write(fd, requests.data(), requests.size()) != static_cast<ssize_t>(requests.size()))
        return -1;
    return fd;
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
    const pid_t pid = findProcess(server.root().file("bin/lenvaro-server"));
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

    const int fd = stalledPage(port, previewWidth);
    if (fd < 0) {
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
    close(fd);
    return 0;
}
