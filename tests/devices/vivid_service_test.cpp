// The service itself on a real driver: a page connects to lenvaro-server (with the built-in
// library), opens the vivid camera, receives live preview frames, captures a file showing what
// vivid drew, and is told as with an unplugged camera when vivid disconnects mid-stream.
#include <gtest/gtest.h>

#include <optional>

#include "common/base64.h"
#include "common/jpeg_codec.h"
#include "device_test_support.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro_devices {
namespace {

using namespace std::chrono_literals;
using lenvaro::testing::ServerProcess;
using lenvaro::testing::WsTestClient;

class VividService : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_DEVICE_TESTS();
        if (!Vivid::bound()) Vivid::bind();
        ASSERT_TRUE(eventually([] { return Vivid::node().has_value(); })) << "vivid is not loaded";
        Vivid::drawColourBars();
        ServerProcess::Options options;
        // The computer's one camera is vivid: no simulated camera, no other family in the way.
        options.simulatorJson = R"({"cameras": {"simulated": false},
            "families": {"biometrics": false, "recognition": false, "signpad": false}})";
        // Its cfg/simulator.json, whatever this process was told, and the computer's own
        // cameras (test servers are otherwise shown none).
        options.environment["PICTAVO_CONFIG"] = "";
        options.environment["PICTAVO_V4L2_ROOT"] = "";
        server_ = std::make_unique<ServerProcess>(options);
        port_ = server_->start(30s);  // libraries load slowly from the shared folder
        ASSERT_NE(port_, 0) << server_->standardError();
        ASSERT_TRUE(page_.connect(port_));
    }

    // The reply to `request`, skipping the preview frames pushed meanwhile.
    std::optional<std::string> call(const std::string& request, std::chrono::seconds timeout = 20s) {
        page_.send(request);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto message = page_.receive(1s);
            if (message && message->rfind("$*$", 0) != 0) return message;
        }
        return std::nullopt;
    }

    // The next preview frame, decoded.
    std::optional<lenvaro::jpeg::Image> previewFrame(std::chrono::seconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto message = page_.receive(1s);
            if (!message || message->rfind("$*$", 0) != 0) continue;
            size_t bytes = 0;
            lenvaro::jpeg::Image image;
            const std::string payload = message->substr(3);
            const std::string decoded = lenvaro::base64Decode(payload, payload.size(), bytes);
            if (lenvaro::jpeg::decode(reinterpret_cast<const uint8_t*>(decoded.data()),
                                      decoded.size(), image))
                return image;
        }
        return std::nullopt;
    }

    std::unique_ptr<ServerProcess> server_;
    uint16_t port_ = 0;
    WsTestClient page_;
};

TEST_F(VividService, APageSeesThePreviewAndCapturesWhatVividDrew) {
    EXPECT_EQ(call(R"({"FuncName":"camGetDevCount"})"), R"({"FuncName":"camGetDevCount","result":"1"})");
    EXPECT_EQ(call(R"({"FuncName":"camGetDevName"})"), R"({"FuncName":"camGetDevName","result":["vivid"]})");
    // YUYV is vivid's first format: media type 0.
    EXPECT_EQ(call(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":640,"height":480}})"),
              R"({"FuncName":"camOpenDev","result":"0"})");
    page_.send(R"({"FuncName":"PreZoneSize","argument":{"width":320}})");
    std::optional<lenvaro::jpeg::Image> frame;
    for (int i = 0; i < 10 && (!frame || frame->width != 320); ++i) frame = previewFrame();
    ASSERT_TRUE(frame.has_value()) << "no preview frame";
    ASSERT_EQ(frame->width, 320);
    ASSERT_EQ(frame->height, 240);
    std::string means;
    // The preview is decimated and encoded at quality 70: a little more room than a capture.
    EXPECT_LE(jpegBarsError(*frame, &means), 8) << "bar means: " << means;

    const std::string file = server_->tmp() + "/capture.jpg";
    EXPECT_EQ(call(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" + file + R"("}})"),
              R"({"FuncName":"camCaptureImageFile","result":"0"})");
    lenvaro::jpeg::Image captured;
    ASSERT_TRUE(lenvaro::jpeg::readFile(file, captured));
    EXPECT_EQ(captured.width, 640);
    EXPECT_EQ(captured.height, 480);
    means.clear();
    EXPECT_LE(jpegBarsError(captured, &means), 6) << "bar means: " << means;
}

TEST_F(VividService, ADisconnectMidStreamFailsCapturesUntilTheCameraIsBack) {
    ASSERT_EQ(call(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":320,"height":180}})"),
              R"({"FuncName":"camOpenDev","result":"0"})");
    ASSERT_TRUE(previewFrame().has_value());
    ASSERT_EQ(Vivid::set("disconnect", 1), 0);
    const std::string file = server_->tmp() + "/gone.jpg";
    const std::string capture =
        R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" + file + R"("}})";
    EXPECT_TRUE(eventually([&] {
        return call(capture) == R"({"FuncName":"camCaptureImageFile","result":"-3"})";
    }, 10s));
    // As with a camera pulled out: the preview has stopped.
    EXPECT_FALSE(previewFrame(2s).has_value());
    // The next counts give the node back and see the camera again.
    EXPECT_TRUE(eventually([&] {
        return call(R"({"FuncName":"camGetDevCount"})") ==
               R"({"FuncName":"camGetDevCount","result":"1"})" && Vivid::set("brightness", 128) == 0;
    }, 10s));
    EXPECT_EQ(call(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":320,"height":180}})"),
              R"({"FuncName":"camOpenDev","result":"0"})");
    EXPECT_TRUE(previewFrame().has_value());
    EXPECT_EQ(call(capture), R"({"FuncName":"camCaptureImageFile","result":"0"})");
}

}  // namespace
}  // namespace lenvaro_devices
