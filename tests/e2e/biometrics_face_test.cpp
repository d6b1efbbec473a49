// Face matching end to end: photographs on the built-in library's face model, still and against
// the simulated camera, the background match's push, and a quit while a background or a live
// match runs.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
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

// A head-and-shoulders picture cut from one of the face-recognition package's sample photographs
// (installed by scripts/setup), around the face whose box the package reports there, as JPEG.
std::vector<uint8_t> portraitJpeg(const std::string& sample, int x, int y, int width, int height) {
    lenvaro::jpeg::Image photo;
    EXPECT_TRUE(lenvaro::jpeg::readFile(std::string(LENVARO_FACE_SAMPLES) + "/" + sample, photo))
        << sample << " (scripts/setup installs it)";
    const int side = width * 8 / 5, tall = side * 13 / 10;
    const int left = std::clamp(x + width / 2 - side / 2, 0, photo.width - side);
    const int top = std::clamp(y + height * 9 / 20 - tall / 2, 0, photo.height - tall);
    std::vector<uint8_t> jpeg;
    EXPECT_TRUE(lenvaro::jpeg::encode(photo.pixels.data() + (static_cast<size_t>(top) * photo.width + left) * 3,
                                      side, tall, 3, photo.width * 3u, {}, jpeg));
    return jpeg;
}

// A picture of a wall, with no face.
std::vector<uint8_t> wallJpeg() {
    std::vector<uint8_t> rgb(320 * 240 * 3, 170), jpeg;
    EXPECT_TRUE(lenvaro::jpeg::encode(rgb.data(), 320, 240, 3, 320 * 3u, {}, jpeg));
    return jpeg;
}

// The face model the build copied, for a server whose private layout has none.
std::string faceModelConfig() {
    return R"({"cameras": {"simulated": false}, "faces": {"engine": "model", "models": ")" +
           std::string(LENVARO_FACE_MODEL) + R"("}})";
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string base64Text(const std::vector<uint8_t>& bytes) {
    std::string text = lenvaro::base64Encode(bytes.data(), bytes.size());
    lenvaro::replaceAll(text, "\r\n", "");
    return text;
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

TEST(FaceServer, TwoPicturesOfOnePersonScoreHighAndOfTwoPeopleLow) {
    ServerProcess::Options options;
    options.simulatorJson = faceModelConfig();
    ServerProcess server(options);
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    const auto result = [&](const std::string& name, const std::string& argument) {
        return quotedResult(
            page.roundTrip(R"({"FuncName":")" + name + R"(","argument":)" + argument + "}", 30s),
            name);
    };
    const auto byFile = [&](const std::string& a, const std::string& b) {
        return result("camMatchFaceByFile", R"({"filePath1":")" + a + R"(","filePath2":")" + b + R"("})");
    };
    const auto byText = [&](const std::string& a, const std::string& b) {
        return result("camMatchFaceByBase64", R"({"PersonFace1":")" + a + R"(","PersonFace2":")" + b + R"("})");
    };

    // Two pictures of one woman (a close cut and the whole photograph), and another woman.
    const std::vector<uint8_t> anna = portraitJpeg("sample2.jpg", 1403, 173, 277, 264);
    const std::vector<uint8_t> bruna = portraitJpeg("sample5.jpg", 1085, 236, 200, 200);
    const std::string annaPath = server.root().file("anna.jpg");
    const std::string brunaPath = server.root().file("bruna.jpg");
    const std::string wallPath = server.root().file("wall.jpg");
    const std::string annaWhole = std::string(LENVARO_FACE_SAMPLES) + "/sample2.jpg";
    writeFile(annaPath, anna);
    writeFile(brunaPath, bruna);
    writeFile(wallPath, wallJpeg());

    // Matching waits for the engine to be started.
    EXPECT_EQ(byFile(annaPath, annaWhole), "-1");
    EXPECT_EQ(result("camInitFace", "{}"), "0");
    EXPECT_NE(server.standardError().find("face engine: the face model in " + std::string(LENVARO_FACE_MODEL)),
              std::string::npos) << server.standardError();

    const int same = number(byFile(annaPath, annaWhole));
    const int other = number(byFile(annaPath, brunaPath));
    EXPECT_GE(same, 80);
    EXPECT_LE(other, 45);
    EXPECT_EQ(byFile(wallPath, annaPath), "-7");  // no face in a picture
    EXPECT_EQ(byFile(annaPath, "/no/such/picture.jpg"), "-5");

    EXPECT_EQ(number(byText(base64Text(anna), base64Text(anna))), 100);
    EXPECT_EQ(number(byText(base64Text(anna), base64Text(bruna))), other);
    EXPECT_EQ(byText(base64Text(wallJpeg()), base64Text(anna)), "-7");

    // No camera is open: the live match fails, and the background match pushes the score it
    // started with.
    EXPECT_EQ(result("camMatchFaceByFileVideo", R"({"filePath":")" + annaPath + R"("})"), "-3");
    page.send(R"({"FuncName":"camStartAsyMatchFaceBase64Video","argument":{"personFace":")" +
              base64Text(anna) + R"(","score":50}})");
    EXPECT_EQ(page.receive(10s), R"({"FuncName":"camStartAsyMatchFaceBase64Video","result":"0"})");
    EXPECT_FALSE(page.receive(300ms).has_value());

    EXPECT_EQ(result("camSetLivingBodyState", R"({"bOpen":1})"), "0");
    EXPECT_EQ(result("camUnInitFace", "{}"), "0");
}

// A server whose simulated document camera shows a photograph of one woman (anna.jpg is another
// picture of her, bruna.jpg a picture of someone else).
void showAnnaToTheCamera(ServerProcess& server) {
    writeFile(server.root().file("anna.jpg"), portraitJpeg("sample2.jpg", 1403, 173, 277, 264));
    writeFile(server.root().file("bruna.jpg"), portraitJpeg("sample5.jpg", 1085, 236, 200, 200));
    const std::string config = server.root().file("simulator.json");
    std::ofstream(config) << R"({"cameras": {"document": {"images": [")" + std::string(LENVARO_FACE_SAMPLES) +
                                 R"(/sample2.jpg"]}}, "faces": {"models": ")" + LENVARO_FACE_MODEL + R"("}})";
    server.setEnvironment("PICTAVO_CONFIG", config);
}

// The simulated document camera shows a photograph of a person; the page holds up another picture
// of her, then of someone else.
TEST(FaceServer, TheLiveMatchComparesWithThePersonBeforeTheCamera) {
    ServerProcess::Options options;
    options.simulatorJson = std::nullopt;
    ServerProcess server(options);
    showAnnaToTheCamera(server);
    const std::string annaPath = server.root().file("anna.jpg");
    const std::string brunaPath = server.root().file("bruna.jpg");
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    // An open camera streams preview frames ("$*$...") between the replies.
    const auto result = [&](const std::string& name, const std::string& argument) {
        page.send(R"({"FuncName":")" + name + R"(","argument":)" + argument + "}");
        while (const std::optional<std::string> message = page.receive(60s)) {
            if (message->rfind("$*$", 0) != 0) return quotedResult(message, name);
        }
        return std::string("<no reply>");
    };
    ASSERT_EQ(result("camOpenDev", R"({"devIndex":0,"subtype":0,"width":1920,"height":1080})"), "0");
    ASSERT_EQ(result("camInitFace", "{}"), "0");

    const auto started = std::chrono::steady_clock::now();
    EXPECT_GE(number(result("camMatchFaceByFileVideo",
                            R"({"filePath":")" + annaPath + R"(","ldelayTime":20000})")),
              80);
    // It stopped once it was sure, long before the time given.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    EXPECT_LE(number(result("camMatchFaceByFileVideo",
                            R"({"filePath":")" + brunaPath + R"(","ldelayTime":500})")),
              45);
}

// A live match the page asked to run for weeks runs five minutes at most; a quit meanwhile closes
// the camera, which ends the match (its answer still goes out), and the service stops in order.
// The picture held up is of someone else, so the match would never be sure and stop by itself.
TEST(FaceServer, ALiveMatchOfWeeksEndsWithItsCameraWhenTheServiceQuits) {
    ServerProcess::Options options;
    options.simulatorJson = std::nullopt;
    ServerProcess server(options);
    showAnnaToTheCamera(server);
    const std::string brunaPath = server.root().file("bruna.jpg");
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(R"({"FuncName":"camInitFace"})");
    page.send(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":640,"height":480}})");
    page.send(R"({"FuncName":"camMatchFaceByFileVideo","argument":{"filePath":")" + brunaPath +
              R"(","ldelayTime":2147483647}})");
    const auto next = [&page](const std::string& name) -> std::optional<std::string> {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::optional<std::string> message = page.receive(1s);
            if (message && message->find(name) != std::string::npos) return message;
        }
        return std::nullopt;
    };
    ASSERT_EQ(next("camOpenDev"), R"({"FuncName":"camOpenDev","result":"0"})");
    std::this_thread::sleep_for(500ms);  // the match looks at the live picture

    const auto asked = std::chrono::steady_clock::now();
    kill(server.pid(), SIGTERM);
    const std::string score = quotedResult(next("camMatchFaceByFileVideo"), "camMatchFaceByFileVideo");
    EXPECT_GE(number(score), 0) << score;
    EXPECT_EQ(server.waitForExit(), 0) << server.standardError();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);
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
