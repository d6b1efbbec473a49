// The real executable on the built-in capture library with its simulated cameras, spoken to
// over a real WebSocket as a page would: cameras listed, live preview, captures with their
// settings, the file sign, recording.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "common/base64.h"
#include "common/jpeg_codec.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

class CameraLibrary : public ::testing::Test {
protected:
    // The default configuration: no cfg/simulator.json at all.
    CameraLibrary() { useSimulatorFile(std::nullopt); }

    void useSimulatorFile(std::optional<std::string> json) {
        ServerProcess::Options options;
        options.simulatorJson = std::move(json);
        server_ = std::make_unique<ServerProcess>(options);
        server_->setEnvironment("PICTAVO_SIGN_KEY_FILE", server_->root().file("file-sign.key"));
    }

    std::string file(const std::string& name) const { return server_->root().file(name); }

    void connect() {
        const uint16_t port = server_->start();
        ASSERT_NE(port, 0) << server_->standardError();
        ASSERT_TRUE(page_.connect(port));
    }

    // The reply to `request`, passing over preview frames pushed meanwhile.
    std::string ask(const std::string& request) {
        page_.send(request);
        const std::string name = request.substr(0, request.find(',') == std::string::npos
                                                       ? request.find('}')
                                                       : request.find(','));
        const std::string start = name + ",\"result\":";
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto message = page_.receive(1s);
            if (message && message->rfind(start, 0) == 0) return *message;
        }
        return "(no reply)";
    }

    // The next preview frame, decoded.
    std::optional<jpeg::Image> nextPreview() {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto message = page_.receive(1s);
            if (!message || message->rfind("$*$", 0) != 0) continue;
            size_t length = 0;
            const std::string bytes = base64Decode(message->substr(3), message->size() - 3, length);
            jpeg::Image image;
            if (!jpeg::decode(reinterpret_cast<const uint8_t*>(bytes.data()), length, image)) return std::nullopt;
            return image;
        }
        return std::nullopt;
    }

    static std::string quoted(const std::string& command, const std::string& result) {
        return "{\"FuncName\":\"" + command + "\",\"result\":\"" + result + "\"}";
    }

    std::unique_ptr<ServerProcess> server_;
    WsTestClient page_;
};

TEST_F(CameraLibrary, AComputerWithoutCamerasListsTheTwoSimulatedOnes) {
    ASSERT_NO_FATAL_FAILURE(connect());
    EXPECT_EQ(ask(R"({"FuncName":"camGetDevCount"})"), quoted("camGetDevCount", "2"));
    EXPECT_EQ(ask(R"({"FuncName":"camGetDevName"})"),
              R"({"FuncName":"camGetDevName","result":["Lenvaro Simulated Document Camera","Lenvaro Simulated Camera"]})");
    ASSERT_EQ(ask(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":2592,"height":1944}})"),
              quoted("camOpenDev", "0"));
    EXPECT_EQ(ask(R"({"FuncName":"camGetMediaTypeName"})"),
              R"({"FuncName":"camGetMediaTypeName","result":["MJPG","YUY2"]})");
    EXPECT_EQ(ask(R"({"FuncName":"camGetCurResolution"})"), quoted("camGetCurResolution", "2592*1944"));
}

TEST_F(CameraLibrary, PreviewArrivesAtTheAskedWidthAndCapturesKeepTheirSettings) {
    ASSERT_NO_FATAL_FAILURE(connect());
    page_.send(R"({"FuncName":"PreZoneSize","argument":{"width":640,"height":360}})");
    ASSERT_EQ(ask(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":1920,"height":1080}})"),
              quoted("camOpenDev", "0"));
    const std::optional<jpeg::Image> preview = nextPreview();
    ASSERT_TRUE(preview.has_value());
    EXPECT_EQ(preview->width, 640);
    EXPECT_EQ(preview->height, 360);

    // A quarter turn, 300 DPI, grey.
    EXPECT_EQ(ask(R"({"FuncName":"camSetImageRotateMode","argument":{"rotateMode":1}})"),
              quoted("camSetImageRotateMode", "0"));
    EXPECT_EQ(ask(R"({"FuncName":"camSetImageDPI","argument":{"xDPI":300}})"), quoted("camSetImageDPI", "0"));
    EXPECT_EQ(ask(R"({"FuncName":"camSetImageColorStyle","argument":{"itype":1}})"),
              quoted("camSetImageColorStyle", "0"));
    const std::string path = file("capture.jpg");
    ASSERT_EQ(ask(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" + path + "\"}}"),
              quoted("camCaptureImageFile", "0"));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(jpeg::readBytes(path, bytes));
    jpeg::Info info;
    ASSERT_TRUE(jpeg::readInfo(bytes.data(), bytes.size(), info));
    EXPECT_EQ(info.width, 1080);
    EXPECT_EQ(info.height, 1920);
    EXPECT_EQ(info.components, 1);
    EXPECT_EQ(info.xDensity, 300);

    // A custom crop rectangle, taken from the frame before the turn.
    EXPECT_EQ(ask(R"({"FuncName":"camSetImageCusCropRect","argument":{"left":100,"top":50,"right":500,"bottom":350}})"),
              quoted("camSetImageCusCropRect", "0"));
    ASSERT_EQ(ask(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" + path + "\"}}"),
              quoted("camCaptureImageFile", "0"));
    ASSERT_TRUE(jpeg::readBytes(path, bytes));
    ASSERT_TRUE(jpeg::readInfo(bytes.data(), bytes.size(), info));
    EXPECT_EQ(info.width, 300);
    EXPECT_EQ(info.height, 400);

    EXPECT_EQ(ask(R"({"FuncName":"camSetImageRotateMode","argument":{"rotateMode":7}})"),
              quoted("camSetImageRotateMode", "-2"));
}

TEST_F(CameraLibrary, TheFileSignCheckTellsAnEditedFile) {
    ASSERT_NO_FATAL_FAILURE(connect());
    ASSERT_EQ(ask(R"({"FuncName":"camOpenDev","argument":{"devIndex":1,"subtype":0,"width":640,"height":480}})"),
              quoted("camOpenDev", "0"));
    EXPECT_EQ(ask(R"({"FuncName":"camSetImageFileSign","argument":{"IsAvailabel":1}})"),
              quoted("camSetImageFileSign", "0"));
    const std::string path = file("signed.jpg");
    ASSERT_EQ(ask(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" + path + "\"}}"),
              quoted("camCaptureImageFile", "0"));
    EXPECT_EQ(ask(R"({"FuncName":"camCheckImageFileSign","argument":{"strImagePath":")" + path + "\"}}"),
              quoted("camCheckImageFileSign", "0"));

    // Change one pixel value inside the image data.
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(jpeg::readBytes(path, bytes));
    bytes[bytes.size() - 100] ^= 0x10;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(ask(R"({"FuncName":"camCheckImageFileSign","argument":{"strImagePath":")" + path + "\"}}"),
              quoted("camCheckImageFileSign", "-1"));
}

TEST_F(CameraLibrary, RecordingWritesAnAviOfTheFrames) {
    ASSERT_NO_FATAL_FAILURE(connect());
    ASSERT_EQ(ask(R"({"FuncName":"camOpenDev","argument":{"devIndex":1,"subtype":0,"width":640,"height":480}})"),
              quoted("camOpenDev", "0"));
    EXPECT_EQ(ask(R"({"FuncName":"camGetVideoEncodeName"})"),
              R"x({"FuncName":"camGetVideoEncodeName","result":["MJPG (Motion-JPEG in AVI)"]})x");
    const std::string path = file("clip.avi");
    ASSERT_EQ(ask(R"({"FuncName":"camStartRecord","argument":{"micphone":-1,"videoFormat":0,"filePath":")" + path +
                  "\"}}"),
              quoted("camStartRecord", "0"));
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(ask(R"({"FuncName":"camStopRecord"})"), quoted("camStopRecord", "0"));

    std::vector<uint8_t> avi;
    ASSERT_TRUE(jpeg::readBytes(path, avi));
    ASSERT_GT(avi.size(), 200u);
    EXPECT_EQ(std::string(avi.begin(), avi.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(avi.begin() + 8, avi.begin() + 12), "AVI ");
    // Every frame is a "00dc" chunk holding a JPEG of the camera's size.
    size_t frames = 0;
    for (size_t at = 0; at + 12 < avi.size(); ++at) {
        if (std::string(avi.begin() + static_cast<long>(at), avi.begin() + static_cast<long>(at) + 4) != "00dc") continue;
        const uint32_t size = avi[at + 4] | avi[at + 5] << 8 | avi[at + 6] << 16 | static_cast<uint32_t>(avi[at + 7]) << 24;
        if (size == 16 || at + 8 + size > avi.size()) continue;  // an index entry, not a chunk
        jpeg::Info info;
        if (!jpeg::readInfo(avi.data() + at + 8, size, info)) continue;
        EXPECT_EQ(info.width, 640);
        ++frames;
    }
    EXPECT_GE(frames, 5u);
}

TEST_F(CameraLibrary, AutoCaptureNumbersAFileForEachTurnedPage) {
    useSimulatorFile(R"({"cameras": {"pageTurnSeconds": 1, "frameRate": 20}})");
    ASSERT_NO_FATAL_FAILURE(connect());
    ASSERT_EQ(ask(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":640,"height":480}})"),
              quoted("camOpenDev", "0"));
    const std::string base = file("page");
    ASSERT_EQ(ask(R"({"FuncName":"camStartAutoCapture","argument":{"type":0,"param":5,"filePath":")" + base +
                  ".jpg\"}}"),
              quoted("camStartAutoCapture", "0"));
    // Each turned page: the event with the armed value, then "0" once the file is written.
    std::vector<std::string> pushes;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (pushes.size() < 4 && std::chrono::steady_clock::now() < deadline) {
        const auto message = page_.receive(1s);
        if (message && message->rfind(R"({"FuncName":"AutoCaptureBack")", 0) == 0) pushes.push_back(*message);
    }
    EXPECT_EQ(ask(R"({"FuncName":"camStopAutoCapture"})"), quoted("camStopAutoCapture", "0"));
    ASSERT_EQ(pushes.size(), 4u);
    EXPECT_EQ(pushes[0], quoted("AutoCaptureBack", "5"));
    EXPECT_EQ(pushes[1], quoted("AutoCaptureBack", "0"));
    for (const char* name : {"page1.jpg", "page2.jpg"}) {
        jpeg::Image image;
        EXPECT_TRUE(jpeg::readFile(file(name), image)) << name;
        EXPECT_EQ(image.width, 640);
    }
}

}  // namespace
}  // namespace lenvaro::testing
