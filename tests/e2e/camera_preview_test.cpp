// The camera commands and the live preview through the real executable, with the recording fake
// beside it as the capture library.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "common/jpeg_codec.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

const std::string kFrame = "$*$SlBFRw==";

class CameraOverFake : public ::testing::Test {
  protected:
    CameraOverFake() : server_(fakeLibrary()) {}

    static ServerProcess::Options fakeLibrary() {
        ServerProcess::Options options;
        options.library = LENVARO_FAKE_LIBRARY;
        return options;
    }

    uint16_t start(const std::string& script) {
        std::ofstream(server_.root().file("script.json")) << script;
        server_.setEnvironment("PICTAVO_FAKE_SCRIPT", server_.root().file("script.json"));
        return server_.start();
    }

    // Messages until `reply` arrives, preview frames included; nullopt if it never does.
    static std::optional<std::vector<std::string>> until(WsTestClient& page,
                                                         const std::string& reply) {
        std::vector<std::string> messages;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto message = page.receive(1s);
            if (!message) continue;
            messages.push_back(*message);
            if (*message == reply) return messages;
        }
        return std::nullopt;
    }

    std::vector<std::string> encodedPaths() {
        std::vector<std::string> paths;
        for (const std::string& line : readLines(server_.fakeLog())) {
            const std::string prefix = "FileEncodeBase64(\"";
            if (line.rfind(prefix, 0) == 0)
                paths.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 2));
        }
        return paths;
    }

    ServerProcess server_;
};

TEST_F(CameraOverFake, OpenStreamsPreviewFramesAtThePagesWidth) {
    const uint16_t port = start(R"({"FileEncodeBase64":[{"text":"SlBFRw=="}],
                                    "previewStream":{"width":1920,"height":1080,"fps":30}})");
    ASSERT_NE(port, 0) << server_.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    page.send(R"({"FuncName":"PreZoneSize","argument":{"width":640,"height":480}})");
    page.send(
        R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":1920,"height":1080}})");
    ASSERT_TRUE(until(page, R"({"FuncName":"camOpenDev","result":"0"})"));
    // Every push is the marker and the library's Base64, nothing else.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(page.receive(), kFrame);

    page.send(R"({"FuncName":"camCloseDev","argument":{"devIndex":0}})");
    const auto messages = until(page, R"({"FuncName":"camCloseDev","result":"0"})");
    ASSERT_TRUE(messages);
    for (size_t i = 0; i + 1 < messages->size(); ++i) EXPECT_EQ((*messages)[i], kFrame);
    std::this_thread::sleep_for(1s);  // a frame already under way finishes

    // The library was handed a JPEG of the preview size in the service's private scratch
    // directory (the fake leaves it there).
    const std::vector<std::string> paths = encodedPaths();
    ASSERT_FALSE(paths.empty());
    EXPECT_TRUE(std::all_of(paths.begin(), paths.end(),
                            [&](const std::string& p) { return p == paths[0]; }));
    EXPECT_EQ(paths[0].rfind(server_.runtimeDir() + "/lenvaro-", 0), 0u) << paths[0];
    jpeg::Image image;
    std::string error;
    ASSERT_TRUE(jpeg::readFile(paths[0], image, &error)) << error;
    EXPECT_EQ(image.width, 640);
    EXPECT_EQ(image.height, 360);
}

TEST_F(CameraOverFake, PreviewPausesWhileNoPageIsConnected) {
    const uint16_t port = start(R"({"FileEncodeBase64":[{"text":"SlBFRw=="}],
                                    "previewStream":{"width":320,"height":240,"fps":30}})");
    ASSERT_NE(port, 0) << server_.standardError();
    {
        WsTestClient page;
        ASSERT_TRUE(page.connect(port));
        page.send(R"({"FuncName":"camOpenDev"})");
        ASSERT_TRUE(until(page, kFrame));
        page.close();
    }
    std::this_thread::sleep_for(1s);  // a frame already under way finishes
    const size_t afterClose = encodedPaths().size();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(encodedPaths().size(), afterClose);  // frames keep coming; none is encoded

    WsTestClient next;
    ASSERT_TRUE(next.connect(port));
    EXPECT_TRUE(until(next, kFrame));
    EXPECT_GT(encodedPaths().size(), afterClose);
}

TEST_F(CameraOverFake, CameraCommandsReachTheLibraryInOrder) {
    const uint16_t port = start(R"({"camGetResolutionCount":[{"outInts":[2]}],
                                    "camGetResolution":[{"outInts":[2592,1944]},{"outInts":[640,480]}],
                                    "camShowDevSettingWindow":[{"status":-4}]})");
    ASSERT_NE(port, 0) << server_.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    EXPECT_EQ(
        page.roundTrip(
            R"({"FuncName":"camOpenDev","argument":{"devIndex":1,"subtype":1,"width":2592,"height":1944}})"),
        R"({"FuncName":"camOpenDev","result":"0"})");
    EXPECT_EQ(page.roundTrip(R"({"FuncName":"camGetResolution"})"),
              R"({"FuncName":"camGetResolution","result":["2592*1944","640*480"]})");
    EXPECT_EQ(
        page.roundTrip(
            R"({"FuncName":"camSetImageCusCropRect","argument":{"left":1,"top":2,"right":300,"bottom":400}})"),
        R"({"FuncName":"camSetImageCusCropRect","result":"0"})");
    EXPECT_EQ(page.roundTrip(R"({"FuncName":"camShowDevSettingWindow"})"),
              R"({"FuncName":"camShowDevSettingWindow","result":"-4"})");
    EXPECT_EQ(
        page.roundTrip(
            R"({"FuncName":"camStartAutoCapture","argument":{"type":1,"param":3,"filePath":"/s/p.jpg"}})"),
        R"({"FuncName":"camStartAutoCapture","result":"0"})");
    const auto calls = readLines(server_.fakeLog());
    const std::vector<std::string> expected = {"camCloseDev(0)",
                                               "camOpenDev(1, 1, 2592, 1944)",
                                               "camRegCallBackPreviewImage(1, cb)",
                                               "camGetResolutionCount(1, 1, &0)",
                                               "camGetResolution(1, 1, 0, &0, &0)",
                                               "camGetResolution(1, 1, 1, &2592, &1944)",
                                               "camSetImageCusCropRect(1, 1, 2, 300, 400)",
                                               "camShowDevSettingWindow(1)",
                                               "camStartAutoCapture(1, 1, 3, cb)"};
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(
        std::vector<std::string>(calls.end() - static_cast<long>(expected.size()), calls.end()),
        expected);
}

}  // namespace
}  // namespace lenvaro::testing
