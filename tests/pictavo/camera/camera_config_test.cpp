// The "cameras" section of cfg/simulator.json and the cameras it makes: defaults, each setting,
// and every kind of mistake refused whole.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <memory>

#include "../temp_dir.h"
#include "pictavo/camera/audio_devices.h"
#include "pictavo/camera/simulated_camera.h"
#include "pictavo/config.h"
#include "pictavo/registry.h"

namespace {

using namespace pictavo;

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
    return value;
}

TEST(CameraConfig, WithoutASectionTwoSimulatedCamerasAreFound) {
    const Devices devices = findDevices(Config{});
    ASSERT_EQ(devices.cameras.size(), 2u);
    const CameraInfo document = devices.cameras[0]->info();
    EXPECT_EQ(document.name, "Lenvaro Simulated Document Camera");
    const std::vector<MediaType> types = devices.cameras[0]->mediaTypes();
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0].name, "MJPG");
    ASSERT_GE(types[0].resolutions.size(), 3u);
    EXPECT_EQ(types[0].resolutions.front(), (Resolution{2592, 1944}));
    EXPECT_EQ(types[1].name, "YUY2");
    for (const Resolution& size : types[1].resolutions) EXPECT_LE(size.width, 1280);

    const std::vector<MediaType> small = devices.cameras[1]->mediaTypes();
    ASSERT_EQ(small.size(), 2u);
    EXPECT_GE(small[0].resolutions.size(), 2u);
    EXPECT_EQ(small[0].resolutions.front(), (Resolution{1280, 720}));
}

TEST(CameraConfig, TheSectionSetsSizesRateAndWhichCamerasExist) {
    pictavo_test::TempDir dir;
    CameraSettings settings;
    ASSERT_EQ(readCameraSettings(parse(R"({
        "frameRate": 30, "pageTurnSeconds": 2,
        "document": {"sizes": ["1600x1200", "800*600"], "images": ["page.jpg", "/abs/p.jpg"]},
        "second": {"enabled": false}
    })"),
                                 dir.path().string(), settings),
              "");
    EXPECT_EQ(settings.frameRate, 30);
    EXPECT_EQ(settings.pageTurnSeconds, 2);
    ASSERT_EQ(settings.document.sizes.size(), 2u);
    EXPECT_EQ(settings.document.sizes[1], (Resolution{800, 600}));
    EXPECT_EQ(settings.document.images,
              (std::vector<std::string>{dir.file("page.jpg"), "/abs/p.jpg"}));
    EXPECT_FALSE(settings.second.enabled);

    std::vector<std::string> problems;
    const auto cameras = makeSimulatedCameras(settings, problems);
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0]->framesPerSecond(), 30);
    EXPECT_EQ(cameras[0]->mediaTypes()[0].resolutions.size(), 2u);
    EXPECT_EQ(cameras[0]->mediaTypes()[1].resolutions, (std::vector<Resolution>{{800, 600}}));
    // Neither image exists: said so, and the synthetic page shows instead.
    EXPECT_EQ(problems.size(), 3u);

    settings.simulated = false;
    EXPECT_TRUE(makeSimulatedCameras(settings, problems).empty());
}

TEST(CameraConfig, MistakesAreRefusedWithAReason) {
    for (const char* text :
         {R"({"frameRate": 0})", R"({"frameRate": 61})", R"({"frameRate": 15.5})",
          R"({"pageTurnSeconds": "4"})", R"({"simulated": 1})", R"({"unknown": true})",
          R"({"document": []})", R"({"document": {"sizes": []}})",
          R"({"document": {"sizes": ["640x"]}})", R"({"document": {"sizes": ["8x8"]}})",
          R"({"document": {"sizes": ["640x480x3"]}})", R"({"second": {"images": [""]}})",
          R"({"second": {"enabled": "yes"}})", R"([])"}) {
        CameraSettings settings;
        EXPECT_NE(readCameraSettings(parse(text), "", settings), "") << text;
    }
}

TEST(CameraConfig, ABadSectionMakesTheWholeFileInvalid) {
    pictavo_test::TempDir dir;
    const std::string path = dir.write("simulator.json", R"({"cameras": {"frameRate": 500}})");
    const ConfigResult result = loadConfig(path);
    EXPECT_EQ(result.state, ConfigResult::State::kMalformed);
    EXPECT_NE(result.error.find("frameRate"), std::string::npos) << result.error;
    EXPECT_EQ(findDevices(result.config).cameras.size(), 2u) << "the defaults";

    Config off;
    off.document = parse(R"({"families": {"camera": false}})");
    EXPECT_TRUE(findDevices(off).cameras.empty());
}

TEST(AudioDevices, CaptureDevicesAreReadFromTheAlsaList) {
    const std::string list =
        "00-00: ALC892 Analog : ALC892 Analog : playback 1 : capture 1\n"
        "00-01: ALC892 Digital : ALC892 Digital : playback 1\n"
        "01-00: USB Audio : USB Audio : capture 1\n"
        "garbage line\n";
    EXPECT_EQ(parseAlsaCaptureDevices(list),
              (std::vector<std::string>{"ALC892 Analog (hw:0,0)", "USB Audio (hw:1,0)"}));
    EXPECT_TRUE(parseAlsaCaptureDevices("").empty());
    const std::vector<std::string> here = listAudioDevices();
    EXPECT_FALSE(here.empty()) << "the simulated microphone stands in for none";
}

}  // namespace
