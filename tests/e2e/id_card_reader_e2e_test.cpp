// A real ID card reader end to end: the service on its built-in library reads the module emulator
// on a pseudo-terminal named in `cards.idReader.serialPorts`, with a stand-in for the maker's
// photo decoder, spoken to over a WebSocket.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/base64.h"
#include "sam_module_emulator.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

std::vector<std::string> itemsOf(const std::string& text) {
    std::vector<std::string> items(1);
    for (char c : text) {
        if (c == '|') {
            items.emplace_back();
        } else {
            items.back().push_back(c);
        }
    }
    return items;
}

samtest::EmulatedCard cardOf(const std::u16string& name) {
    samtest::EmulatedCard card;
    card.text = samtest::residentText({name, u"2", u"03", u"19851231", u"上海市示例路2号",
                                       u"310101198512310022", u"上海市公安局", u"20150601", u"长期"});
    return card;
}

TEST(IdCardReaderEndToEnd, TheServiceReadsTheModuleOnASerialPortAndNothingElse) {
    samtest::PtySamModule pty;
    ASSERT_TRUE(pty.ready());
    pty.module().putCard(cardOf(u"王五"));
    pty.module().setReadsOnceUntilRemoved(true);
    pty.module().setPieceSize(64);
    ServerProcess server;
    // The simulated readers are off: nothing but the real reader may answer.
    const std::string config = server.root().file("simulator.json");
    std::ofstream(config) << R"({"cards": {"pcsc": false, "simulated": false, "idReader": {
        "serialPorts": [")" << pty.path() << R"("], "usb": false,
        "photoDecoder": {"library": ")" LENVARO_PHOTO_DECODER R"(", "key": 602}}}})";
    server.setEnvironment("PICTAVO_CONFIG", config);
    WsTestClient page;
    ASSERT_TRUE(page.connect(server.start())) << server.standardError();
    const auto result = [&](const std::string& name, const std::string& arguments = "{}") {
        const std::string head = "{\"FuncName\":\"" + name + "\",\"result\":\"";
        const std::string reply =
            page.roundTrip(R"({"FuncName":")" + name + R"(","argument":)" + arguments + "}",
                           std::chrono::seconds(10))
                .value_or("");
        return reply.rfind(head, 0) == 0 ? reply.substr(head.size(), reply.size() - head.size() - 2)
                                         : "<" + reply + ">";
    };

    const std::vector<std::string> items = itemsOf(result("idcardrfidReadIDCardEx"));
    ASSERT_EQ(items.size(), 10u);
    const std::vector<std::string> expected = {"王五", "女", "回", "19851231", "上海市示例路2号",
                                               "310101198512310022", "上海市公安局", "20150601", "长期"};
    EXPECT_EQ(std::vector<std::string>(items.begin(), items.begin() + 9), expected);
    size_t decoded = 0;
    const std::string photo = base64Decode(items[9], items[9].size(), decoded);
    // A 102 x 126 bitmap of the stand-in's pattern: the top row last, its first pixel B 0 G 0
    // and R the card's first photo byte.
    ASSERT_EQ(photo.size(), 54u + 308 * 126);
    EXPECT_EQ(photo.substr(54 + 308 * 125, 3), std::string("\0\0\x5A", 3));

    const std::string fingerprint =
        page.roundTrip(R"({"FuncName":"idcardrfidGetOneFingerprintMsg","argument":{"nIndex":1,"filePath":""}})")
            .value_or("");
    const size_t start = fingerprint.find("$*$", 3) + 3;
    const std::string record = base64Decode(fingerprint.substr(start, 700), 700, decoded);
    ASSERT_EQ(record.size(), 512u) << fingerprint;
    EXPECT_EQ(static_cast<uint8_t>(record[0]), cardOf(u"王五").fingerprintByte(1, 0));

    // The module reads a card once until it leaves the field: no stale answer meanwhile.
    EXPECT_EQ(result("iReadIdentityCard"), "|||||||||");
    pty.module().removeCard();
    EXPECT_EQ(result("idcardrfidReadIDCard"), "||||||||");
    pty.module().putCard(cardOf(u"赵六"));
    EXPECT_EQ(itemsOf(result("idcardrfidReadIDCard")).at(0), "赵六");
    pty.unplug();
    EXPECT_EQ(result("idcardrfidReadIDCard"), "||||||||");
}

}  // namespace
}  // namespace lenvaro::testing
