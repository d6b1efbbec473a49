// The time a page waits for a whole card read: ReadBankCard (and ReadSBKCaard) sent over the
// WebSocket to the real service, which reads a virtual card through pcscd and a vpcd reader in
// namespaces of this program's own (as the end-to-end tests do; needs root or user namespaces).
// Also how long after insertion a card is first read, and what the first read after removal
// answers and how fast.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "model_cards.h"
#include "pcsc_lab.h"
#include "server_process.h"
#include "virtual_card.h"
#include "ws_test_client.h"

namespace {

using namespace lenvaro::testing;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Page {
    WsTestClient client;

    std::string result(const std::string& name) {
        const std::optional<std::string> reply =
            client.roundTrip("{\"FuncName\":\"" + name + "\",\"argument\":{}}");
        const std::string head = "{\"FuncName\":\"" + name + "\",\"result\":\"";
        if (!reply || reply->rfind(head, 0) != 0) return "<no reply>";
        return reply->substr(head.size(), reply->size() - head.size() - 2);
    }
};

void printTimes(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("%-44s %4zu reads  median %6.2f ms  p90 %6.2f ms  max %6.2f ms\n", what,
                times.size(), times[times.size() / 2], times[times.size() * 9 / 10], times.back());
}

// Reads the card in the first reader `reads` times; false when a read did not give `expected`.
bool measure(PcscLab& lab, Page& page, const char* what, const char* command,
             cardmodels::ModelCard model, const std::string& expected, int reads) {
    VirtualCard card(model, kFirstReaderPort);
    if (!card.insert()) return false;
    const Clock::time_point inserted = Clock::now();
    if (!lab.waitForCard(kFirstReaderPort, true) || page.result(command) != expected) {
        std::printf("%s: the card was not read\n", what);
        return false;
    }
    std::printf("%-44s seen and read %.0f ms after insertion\n", what,
                millisecondsSince(inserted));
    const size_t commandsBefore = model.commands().size();
    std::vector<double> times;
    for (int i = 0; i < reads; ++i) {
        const Clock::time_point start = Clock::now();
        const std::string result = page.result(command);
        times.push_back(millisecondsSince(start));
        if (result != expected) {
            std::printf("%s: read %d gave something else\n", what, i);
            return false;
        }
    }
    printTimes(what, times);
    std::printf("%-44s %zu commands to the card a read\n", what,
                (model.commands().size() - commandsBefore) / static_cast<size_t>(reads));
    card.remove();
    const Clock::time_point removed = Clock::now();
    const std::string after = page.result(command);
    std::printf("%-44s first read after removal: \"%s\" in %.1f ms\n", what,
                after == expected ? "<the card's data>" : after.c_str(), millisecondsSince(removed));
    lab.waitForCard(kFirstReaderPort, false);
    std::printf("%-44s pcscd saw the removal after %.0f ms\n", what, millisecondsSince(removed));
    return after != expected;
}

}  // namespace

int main(int argc, char** argv) {
    const int reads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    PcscLab lab;
    if (const std::string problem = lab.start(); !problem.empty()) {
        std::printf("skipped: %s\n", problem.c_str());
        return 0;
    }
    ServerProcess::Options options;
    options.simulatorJson = R"({"cameras": {"simulated": false}, "cards": {"simulated": false}})";
    ServerProcess server(options);
    const uint16_t port = server.start();
    Page page;
    if (port == 0 || !page.client.connect(port)) {
        std::printf("the service did not start: %s\n", server.standardError().c_str());
        return 1;
    }

    cardmodels::EmvCardOptions t1;
    cardmodels::EmvCardOptions t0;
    t0.t0 = true;
    cardmodels::EmvCardOptions contactless;
    contactless.contactless = true;
    contactless.format2 = true;
    bool ok = measure(lab, page, "ReadBankCard, contact card, T=1", "ReadBankCard",
                      cardmodels::emvCard(t1), t1.number, reads);
    ok = ok && measure(lab, page, "ReadBankCard, contact card, T=0", "ReadBankCard",
                       cardmodels::emvCard(t0), t0.number, reads);
    ok = ok && measure(lab, page, "ReadBankCard, contactless card", "ReadBankCard",
                       cardmodels::emvCard(contactless), contactless.number, reads);
    ok = ok && measure(lab, page, "ReadSBKCaard, contact card, T=1", "ReadSBKCaard",
                       cardmodels::socialSecurityCard(cardmodels::SocialCardOptions()),
                       "李四|女|回族|B12345678|330100|330102199202021234", reads);
    server.stop();
    lab.stop();
    return ok ? 0 : 1;
}
