// Measures requests per second and round-trip latency of "camGetDevCount" over loopback, for
// the service on its built-in library and for a minimal websocketpp echo server with the same
// endpoint configuration, in the same run. Usage: bench_requests [round trips] [window]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "server_process.h"
#include "ws_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using lenvaro::testing::ServerProcess;
using lenvaro::testing::WsTestClient;

const std::string kRequest = R"({"FuncName":"camGetDevCount"})";

// Runs an echo server in a child process and returns its port (the child ends with SIGTERM).
uint16_t startEchoServer(pid_t& child) {
    int ports[2];
    if (pipe(ports) != 0) return 0;
    child = fork();
    if (child == 0) {
        using Server = websocketpp::server<websocketpp::config::asio>;
        Server server;
        server.clear_access_channels(websocketpp::log::alevel::all);
        server.clear_error_channels(websocketpp::log::elevel::all);
        server.init_asio();
        server.set_reuse_addr(true);
        server.set_tcp_post_init_handler([&server](websocketpp::connection_hdl hdl) {
            boost::system::error_code ignored;
            server.get_con_from_hdl(hdl)->get_socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
        });
        server.set_message_handler([&server](websocketpp::connection_hdl hdl, Server::message_ptr message) {
            websocketpp::lib::error_code ignored;
            server.send(hdl, message->get_payload(), websocketpp::frame::opcode::text, ignored);
        });
        server.listen(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
        server.start_accept();
        boost::system::error_code error;
        const uint16_t port = server.get_local_endpoint(error).port();
        if (write(ports[1], &port, sizeof port) != sizeof port) _exit(1);
        server.run();
        _exit(0);
    }
    close(ports[1]);
    uint16_t port = 0;
    if (read(ports[0], &port, sizeof port) != sizeof port) port = 0;
    close(ports[0]);
    return port;
}

struct Figures {
    double sequentialPerSecond = 0;
    double pipelinedPerSecond = 0;
    double p50Microseconds = 0;
    double p99Microseconds = 0;
    bool ok = true;
};

Figures measure(uint16_t port, int roundTrips, int window) {
    Figures figures;
    WsTestClient client;
    if (!client.connect(port)) return {0, 0, 0, 0, false};
    for (int i = 0; i < 500; ++i) client.roundTrip(kRequest);  // warm up

    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(roundTrips));
    const auto sequentialStart = Clock::now();
    for (int i = 0; i < roundTrips; ++i) {
        const auto start = Clock::now();
        if (!client.roundTrip(kRequest)) figures.ok = false;
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const double sequentialSeconds = std::chrono::duration<double>(Clock::now() - sequentialStart).count();
    std::sort(latencies.begin(), latencies.end());
    figures.sequentialPerSecond = roundTrips / sequentialSeconds;
    figures.p50Microseconds = latencies[latencies.size() / 2];
    figures.p99Microseconds = latencies[latencies.size() * 99 / 100];

    // Pipelined: keep `window` requests in flight.
    const auto pipelinedStart = Clock::now();
    int sent = 0, received = 0;
    while (sent < window && sent < roundTrips) client.send(kRequest), ++sent;
    while (received < roundTrips) {
        if (!client.receive()) {
            figures.ok = false;
            break;
        }
        ++received;
        if (sent < roundTrips) client.send(kRequest), ++sent;
    }
    figures.pipelinedPerSecond =
        received / std::chrono::duration<double>(Clock::now() - pipelinedStart).count();
    return figures;
}

void print(const char* name, const Figures& f) {
    std::printf("%-22s %12.0f %12.0f %10.1f %10.1f%s\n", name, f.sequentialPerSecond,
                f.pipelinedPerSecond, f.p50Microseconds, f.p99Microseconds, f.ok ? "" : "  (errors)");
}

}  // namespace

int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int window = argc > 2 ? std::atoi(argv[2]) : 32;
    signal(SIGPIPE, SIG_IGN);

    pid_t echoChild = -1;
    const uint16_t echoPort = startEchoServer(echoChild);
    ServerProcess service;
    const uint16_t servicePort = service.start();
    if (echoPort == 0 || servicePort == 0) {
        std::fprintf(stderr, "could not start the servers\n");
        return 1;
    }

    std::printf("%d round trips of %s, pipelined window %d\n", roundTrips, kRequest.c_str(), window);
    std::printf("%-22s %12s %12s %10s %10s\n", "server", "seq req/s", "piped req/s", "p50 us", "p99 us");
    // Alternate to even out the machine's drift; keep the better of two runs each.
    Figures echo, lenvaro;
    for (int run = 0; run < 2; ++run) {
        const Figures e = measure(echoPort, roundTrips, window);
        const Figures l = measure(servicePort, roundTrips, window);
        if (run == 0 || e.pipelinedPerSecond > echo.pipelinedPerSecond) echo = e;
        if (run == 0 || l.pipelinedPerSecond > lenvaro.pipelinedPerSecond) lenvaro = l;
    }
    print("echo (websocketpp)", echo);
    print("lenvaro-server", lenvaro);
    std::printf("ratio to echo: sequential %.2f, pipelined %.2f (target >= 0.80)\n",
                lenvaro.sequentialPerSecond / echo.sequentialPerSecond,
                lenvaro.pipelinedPerSecond / echo.pipelinedPerSecond);

    kill(echoChild, SIGTERM);
    waitpid(echoChild, nullptr, 0);
    return echo.ok && lenvaro.ok ? 0 : 1;
}
