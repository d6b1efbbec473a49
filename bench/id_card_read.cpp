// What an ID card read costs beyond the module's own time: the module emulator on a
// pseudo-terminal answers at once (a real module adds the card's radio time and 115200 baud:
// about 0.1 s for a base read's 1295 bytes), so every millisecond measured here is the library's
// and the service's. Read by the library alone (find, select, read, additional address; with and
// without the photo decoder in its child process), then by a page through the service; and how
// long a page waits for the empty answer when the module stops answering.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "pictavo/cards/card_reader.h"
#include "pictavo/cards/sam_id_card_reader.h"
#include "pictavo/cards/sam_serial_link.h"
#include "sam_module_emulator.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace lenvaro::testing;

void printTimes(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("%-58s %3zu reads  median %7.2f ms  p90 %7.2f ms  max %7.2f ms\n", what,
                times.size(), times[times.size() / 2], times[times.size() * 9 / 10], times.back());
}

template <class Read>
std::vector<double> timed(int count, Read read) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const Clock::time_point start = Clock::now();
        if (!read()) {
            std::printf("a read did not give the card\n");
            return {0};
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return times;
}

samtest::EmulatedCard sampleCard() {
    samtest::EmulatedCard card;
    card.text = samtest::residentText({u"张三", u"1", u"01", u"19900307", u"北京市东城区示例街1号",
                                       u"110101199003071233", u"北京市公安局东城分局", u"20200101",
                                       u"长期"});
    return card;
}

void libraryAlone(samtest::PtySamModule& pty, const pictavo::PhotoDecoderSettings& decoder,
                  const char* what) {
    auto readers = std::make_unique<pictavo::SamReaders>(
        std::vector<std::string>{pty.path()}, nullptr, pictavo::openSerialSamLink);
    pictavo::SamIdCardReader reader(std::move(readers), decoder,
                                    std::make_unique<pictavo::NoCardReader>());
    const std::string photo = "/tmp/bench-id-card-photo.bmp";
    printTimes(what, timed(50, [&] {
                   pictavo::IdCardRecord record{};
                   return reader.readIdCard(record, photo) == pictavo::kOk;
               }));
    std::remove(photo.c_str());
}

}  // namespace

int main() {
    samtest::PtySamModule pty;
    if (!pty.ready()) {
        std::printf("skipped: no pseudo-terminal\n");
        return 0;
    }
    pty.module().putCard(sampleCard());
    libraryAlone(pty, {}, "library: find, select, read, address (no decoder)");
    libraryAlone(pty, {LENVARO_PHOTO_DECODER, 602, false}, "library: the same and the photo decoded in a child");

    ServerProcess server;
    const std::string config = server.root().file("simulator.json");
    std::ofstream(config) << R"({"cards": {"pcsc": false, "idReader": {"serialPorts": [")"
                          << pty.path() << R"("], "usb": false, "photoDecoder": {"library": ")"
                          << LENVARO_PHOTO_DECODER << R"(", "key": 602}}}})";
    server.setEnvironment("PICTAVO_CONFIG", config);
    WsTestClient page;
    if (!page.connect(server.start())) {
        std::printf("the service did not start\n");
        return 1;
    }
    const auto read = [&](const char* command) {
        return page.roundTrip(std::string(R"({"FuncName":")") + command + R"(","argument":{}})",
                              std::chrono::seconds(10))
            .value_or("");
    };
    printTimes("service: idcardrfidReadIDCardEx (fields and photo Base64)",
               timed(50, [&] { return read("idcardrfidReadIDCardEx").find("张三") != std::string::npos; }));
    printTimes("service: idcardrfidReadIDCard (fields, photo to a file)",
               timed(50, [&] { return read("idcardrfidReadIDCard").find("张三") != std::string::npos; }));
    pty.module().removeCard();
    printTimes("service: no card on the reader",
               timed(50, [&] { return read("idcardrfidReadIDCard").find("||||||||") != std::string::npos; }));
    pty.module().putCard(sampleCard());
    pty.module().setSilent(true);
    printTimes("service: a module that stopped answering",
               timed(3, [&] { return read("idcardrfidReadIDCard").find("||||||||") != std::string::npos; }));
    pty.module().setSilent(false);
    pty.module().setSilentOnReads(true);
    printTimes("service: a module that stops answering when asked to read",
               timed(3, [&] { return read("idcardrfidReadIDCard").find("||||||||") != std::string::npos; }));
    return 0;
}
