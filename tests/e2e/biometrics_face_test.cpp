// Face matching end to end: still pictures on the built-in library's face engine, the
// background match's push, and a quit while a background match runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base64.h"
#include "common/jpeg_codec.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

// A drawn portrait whose colours and proportions `variant` changes.
std::vector<uint8_t> portraitJpeg(int variant) {
    const int width = 180, height = 240;
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    const double faceWidth = variant == 0 ? 0.30 : 0.38;
    const uint8_t background[3] = {static_cast<uint8_t>(variant == 0 ? 200 : 90), 200, 220};
    const uint8_t skin[3] = {static_cast<uint8_t>(variant == 0 ? 225 : 160), 180, 150};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = (x - width / 2.0) / width, v = (y - height / 2.0) / height;
            const double fx = u / faceWidth, fy = v / 0.38;
            const uint8_t* colour = fx * fx + fy * fy < 1 ? skin : background;
            uint8_t* pixel = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
            for (int c = 0; c < 3; ++c) pixel[c] = colour[c];
            const double ex = (std::abs(u) - 0.11) / 0.05, ey = (v + 0.08) / 0.03;
            if (ex * ex + ey * ey < 1) pixel[0] = pixel[1] = pixel[2] = 30;
        }
    }
    std::vector<uint8_t> jpeg;
    EXPECT_TRUE(lenvaro::jpeg::encode(rgb.data(), width, height, 3, width * 3u, {}, jpeg));
    return jpeg;
}

std::string quotedResult(const std::optional<std::string>& reply, const std::string& name) {
    const std::string head = R"({"FuncName":")" + name + R"(","result":")";
    if (!reply || reply->rfind(head, 0) != 0 || reply->size() < head.size() + 2) {
        return "<" + reply.value_or("no reply") + ">";
    }
    return reply->substr(head.size(), reply->size() - head.size() - 2);
}

int number(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    EXPECT_TRUE(!text.empty() && *end == '\0') << text;
    return static_cast<int>(value);
}

TEST(FaceServer, APictureMatchesItselfBetterThanAnotherOne) {
    ServerProcess server;
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    const auto result = [&](const std::string& name, const std::string& argument) {
        return quotedResult(
            page.roundTrip(R"({"FuncName":")" + name + R"(","argument":)" + argument + "}", 20s),
            name);
    };

    const std::vector<uint8_t> anna = portraitJpeg(0), bruno = portraitJpeg(1);
    const std::string annaPath = server.root().file("anna.jpg");
    const std::string brunoPath = server.root().file("bruno.jpg");
    std::ofstream(annaPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(anna.data()), anna.size());
    std::ofstream(brunoPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bruno.data()), bruno.size());

    // Matching waits for the engine to be started.
    const std::string files =
        R"({"filePath1":")" + annaPath + R"(","filePath2":")" + annaPath + R"("})";
    EXPECT_LT(number(result("camMatchFaceByFile", files)), 0);
    EXPECT_EQ(result("camInitFace", "{}"), "0");

    const int itself = number(result("camMatchFaceByFile", files));
    const int other =
        number(result("camMatchFaceByFile",
                      R"({"filePath1":")" + annaPath + R"(","filePath2":")" + brunoPath + R"("})"));
    EXPECT_EQ(itself, 100);
    EXPECT_GE(other, 0);
    EXPECT_LT(other, itself);

    std::string annaText = lenvaro::base64Encode(anna.data(), anna.size());
    std::string brunoText = lenvaro::base64Encode(bruno.data(), bruno.size());
    lenvaro::replaceAll(annaText, "\r\n", "");
    lenvaro::replaceAll(brunoText, "\r\n", "");
    EXPECT_EQ(
        number(result("camMatchFaceByBase64", R"({"PersonFace1":")" + annaText +
                                                  R"(","PersonFace2":")" + annaText + R"("})")),
        itself);
    EXPECT_EQ(
        number(result("camMatchFaceByBase64", R"({"PersonFace1":")" + annaText +
                                                  R"(","PersonFace2":")" + brunoText + R"("})")),
        other);
    EXPECT_LT(number(result("camMatchFaceByFile", R"({"filePath1":")" + annaPath +
                                                      R"(","filePath2":"/no/such/picture.jpg"})")),
              0);

    // No camera is open: the live match fails, and the background match pushes the score it
    // started with.
    EXPECT_LT(number(result("camMatchFaceByFileVideo", R"({"filePath":")" + annaPath + R"("})")),
              0);
    page.send(R"({"FuncName":"camStartAsyMatchFaceBase64Video","argument":{"personFace":")" +
              annaText + R"(","score":50}})");
    EXPECT_EQ(page.receive(10s), R"({"FuncName":"camStartAsyMatchFaceBase64Video","result":"0"})");
    EXPECT_FALSE(page.receive(300ms).has_value());

    EXPECT_EQ(result("camSetLivingBodyState", R"({"bOpen":1})"), "0");
    EXPECT_EQ(result("camUnInitFace", "{}"), "0");
}

TEST(FaceServer, QuittingWhileBackgroundMatchesRunIsClean) {
    ServerProcess::Options options;
    options.library = LENVARO_FAKE_LIBRARY;
    ServerProcess server(options);
    const std::string script = server.root().file("script.json");
    // Releasing the library takes a while: a worker still running would call in meanwhile.
    std::ofstream(script)
        << R"({"camMatchFaceByBase64Video": [{"status": 0, "outInts": [5], "delayMs": 20}],
                                 "camUnInitCameraLib": [{"status": 0, "delayMs": 400}]})";
    server.setEnvironment("PICTAVO_FAKE_SCRIPT", script);
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));

    // Two matches that would run for weeks: the threshold is out of reach.
    const std::string start =
        R"({"FuncName":"camStartAsyMatchFaceBase64Video","argument":{"personFace":"QUJD","ldelayTime":-1,"score":100}})";
    page.send(start);
    page.send(start);
    const auto matchCalls = [&] {
        size_t count = 0;
        for (const std::string& line : readLines(server.fakeLog())) {
            count += line.rfind("camMatchFaceByBase64Video(", 0) == 0;
        }
        return count;
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (matchCalls() < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_GE(matchCalls(), 4u);

    EXPECT_EQ(server.stop(), 0) << server.standardError();
    // The workers ended before the library was released, and nobody was told a score.
    const std::vector<std::string> calls = readLines(server.fakeLog());
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(
        std::vector<std::string>(calls.end() - 3, calls.end()),
        (std::vector<std::string>{"camCloseDev(0)", "camCloseDev(1)", "camUnInitCameraLib()"}));
    EXPECT_FALSE(page.receive(100ms).has_value());
}

}  // namespace
}  // namespace lenvaro::testing
