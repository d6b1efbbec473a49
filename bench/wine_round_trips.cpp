// Round trips per second of one command over loopback, for the Linux executable and for
// LenvaroServer.exe under Wine, each on the recording fake of the capture library, in the same
// run (scripts/check windows prints it; Wine is slower, and real Windows is not Wine).
// Usage: bench_wine_round_trips [round trips]   with LENVARO_WINDOWS_BUILD and WINEPREFIX set.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "server_process.h"
#include "ws_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using lenvaro::testing::ServerProcess;
using lenvaro::testing::WsTestClient;

const std::string kRequest = R"({"FuncName":"camGetDevCount"})";

// Round trips per second against a started server, one request in flight at a time; 0 when
// the server did not start or stopped answering.
double measure(ServerProcess& server, int roundTrips) {
    const uint16_t port = server.start(std::chrono::seconds(60));
    if (port == 0) return 0;
    WsTestClient page;
    if (!page.connect(port)) return 0;
    for (int i = 0; i < 20; ++i) page.roundTrip(kRequest);  // warm up
    const auto start = Clock::now();
    for (int i = 0; i < roundTrips; ++i) {
        if (!page.roundTrip(kRequest)) return 0;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return roundTrips / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const char* windowsBuild = std::getenv("LENVARO_WINDOWS_BUILD");
    if (windowsBuild == nullptr) {
        std::fprintf(stderr, "set LENVARO_WINDOWS_BUILD to the Windows build tree (scripts/check windows does)\n");
        return 2;
    }
    lenvaro::testing::ServerOptions linuxOptions;
    linuxOptions.library = LENVARO_FAKE_LIBRARY;
    ServerProcess linuxServer(linuxOptions);
    const double onLinux = measure(linuxServer, roundTrips);
    linuxServer.stop();

    lenvaro::testing::ServerOptions wineOptions;
    wineOptions.executable = std::string(windowsBuild) + "/bin/LenvaroServer.exe";
    wineOptions.executableName = "LenvaroServer.exe";
    wineOptions.library = std::string(windowsBuild) + "/tests/Pictavo.dll";
    wineOptions.libraryName = "Pictavo.dll";
    wineOptions.launcher = {"wine"};
    wineOptions.simulatorJson.reset();
    // The same Wine server as the rest of the run (Debian's Wine finds it through TMPDIR).
    const char* tmp = std::getenv("TMPDIR");
    wineOptions.environment = {{"WINEDEBUG", "-all"}, {"TMPDIR", tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"}};
    ServerProcess wineServer(wineOptions);
    const double underWine = measure(wineServer, roundTrips);
    wineServer.stop();

    std::printf("camGetDevCount round trips per second over loopback (%d each, one in flight):\n", roundTrips);
    std::printf("  Linux executable          %8.0f\n", onLinux);
    std::printf("  LenvaroServer.exe (Wine)  %8.0f\n", underWine);
    return onLinux > 0 && underWine > 0 ? 0 : 1;
}
