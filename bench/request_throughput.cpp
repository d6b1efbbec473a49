// Measures requests per second and round-trip latency of "camGetDevCount" over loopback, for
// the service on its built-in library and for a minimal websocketpp echo server with the same
// endpoint configuration, in rounds taken in turn (and, when given, another build's service).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
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

// One round against one server: `roundTrips` one at a time, then as many with `window` in flight.
Figures measure(WsTestClient& client, int roundTrips, int window) {
    Figures figures;
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

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The medians over rounds: a machine shared with other work slows some rounds down, and the
// median of rounds taken in turn with the other servers is what one server costs against them.
struct Series {
    std::string name;
    uint16_t port = 0;
    std::unique_ptr<WsTestClient> client;
    std::vector<Figures> rounds;

    Figures summary() const {
        std::vector<double> sequential, pipelined, p50, p99;
        Figures f;
        for (const Figures& r : rounds) {
            sequential.push_back(r.sequentialPerSecond);
            pipelined.push_back(r.pipelinedPerSecond);
            p50.push_back(r.p50Microseconds);
            p99.push_back(r.p99Microseconds);
            f.ok = f.ok && r.ok;
        }
        f.sequentialPerSecond = median(sequential);
        f.pipelinedPerSecond = median(pipelined);
        f.p50Microseconds = median(p50);
        f.p99Microseconds = median(p99);
        return f;
    }
};

void print(const std::string& name, const Figures& f) {
    std::printf("%-26s %12.0f %12.0f %10.1f %10.1f%s\n", name.c_str(), f.sequentialPerSecond,
                f.pipelinedPerSecond, f.p50Microseconds, f.p99Microseconds, f.ok ? "" : "  (errors)");
}

}  // namespace

// Usage: bench_requests [round trips per round] [window] [rounds] [baseline build directory]
// With a baseline build directory (one holding bin/lenvaro-server and lib/libpictavo.so, e.g.
// the main branch's build/), that build's service is measured in the same rounds: before and
// after under the same load.
int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int window = argc > 2 ? std::atoi(argv[2]) : 32;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 15;
    const std::string baseline = argc > 4 ? argv[4] : "";
    signal(SIGPIPE, SIG_IGN);

    pid_t echoChild = -1;
    std::vector<Series> series(1);
    series[0].name = "echo (websocketpp)";
    series[0].port = startEchoServer(echoChild);
    ServerProcess service;
    std::unique_ptr<ServerProcess> before;
    series.push_back({"lenvaro-server", service.start(), nullptr, {}});
    if (!baseline.empty()) {
        ServerProcess::Options options;
        options.executable = baseline + "/bin/lenvaro-server";
        options.library = baseline + "/lib/libpictavo.so";
        before = std::make_unique<ServerProcess>(options);
        series.push_back({"lenvaro-server (baseline)", before->start(), nullptr, {}});
    }
    for (Series& s : series) {
        s.client = std::make_unique<WsTestClient>();
        if (s.port == 0 || !s.client->connect(s.port)) {
            std::fprintf(stderr, "could not start or reach %s\n", s.name.c_str());
            return 1;
        }
        for (int i = 0; i < 500; ++i) s.client->roundTrip(kRequest);  // warm up
    }

    std::printf("%d rounds of %d round trips of %s, pipelined window %d\n", rounds, roundTrips,
                kRequest.c_str(), window);
    std::printf("%-26s %12s %12s %10s %10s\n", "server (median of rounds)", "seq req/s", "piped req/s",
                "p50 us", "p99 us");
    for (int round = 0; round < rounds; ++round) {
        // Each round in another order, so that none always runs right after another.
        for (size_t i = 0; i < series.size(); ++i) {
            Series& s = series[(i + static_cast<size_t>(round)) % series.size()];
            s.rounds.push_back(measure(*s.client, roundTrips, window));
        }
    }
    bool ok = true;
    for (const Series& s : series) {
        print(s.name, s.summary());
        ok = ok && s.summary().ok;
    }
    // Ratios taken round by round (each server against the echo of the same round), then their
    // median: the figure least moved by what else the machine is doing.
    for (size_t i = 1; i < series.size(); ++i) {
        std::vector<double> sequential, pipelined, latency;
        for (int round = 0; round < rounds; ++round) {
            const Figures& echo = series[0].rounds[static_cast<size_t>(round)];
            const Figures& f = series[i].rounds[static_cast<size_t>(round)];
            sequential.push_back(f.sequentialPerSecond / echo.sequentialPerSecond);
            pipelined.push_back(f.pipelinedPerSecond / echo.pipelinedPerSecond);
            latency.push_back(echo.p50Microseconds / f.p50Microseconds);
        }
        std::printf("%s, ratio to echo (median of rounds): sequential %.2f, pipelined %.2f, p50 latency %.2f"
                    " (target: sequential >= 0.80)\n",
                    series[i].name.c_str(), median(sequential), median(pipelined), median(latency));
    }

    for (Series& s : series) s.client.reset();
    kill(echoChild, SIGTERM);
    waitpid(echoChild, nullptr, 0);
    return ok ? 0 : 1;
}
