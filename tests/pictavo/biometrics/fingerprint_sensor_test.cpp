// The simulated fingerprint sensor and its matching algorithm: real bitmaps of synthetic
// fingers, features made from them, and scores that tell fingers apart.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../temp_dir.h"
#include "pictavo/biometrics/fingerprint_settings.h"
#include "pictavo/biometrics/fingerprint_template.h"
#include "pictavo/biometrics/simulated_fingerprint_sensor.h"
#include "pictavo/imaging/picture.h"
#include "pictavo/registry.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

using Bytes = std::vector<uint8_t>;

struct Capture {
    int status = 0;
    Bytes image = Bytes(kFingerprintImageBytes, 0xEE);
    Bytes raw = Bytes(kFingerprintImageBytes, 0xEE);
    Bytes feature = Bytes(kFingerprintFeatureBytes, 0);
};

Capture touch(FingerprintSensor& sensor) {
    Capture capture;
    capture.status = sensor.captureImage(capture.image.data(), capture.raw.data());
    if (capture.status == kOk) {
        EXPECT_EQ(sensor.extractFeature(capture.raw.data(), capture.feature.data()), kOk);
    }
    return capture;
}

std::unique_ptr<SimulatedFingerprintSensor> openSensor(std::vector<std::string> touches) {
    FingerprintSettings settings;
    settings.touches = std::move(touches);
    auto sensor = std::make_unique<SimulatedFingerprintSensor>(settings);
    EXPECT_EQ(sensor->init(), kOk);
    return sensor;
}

uint32_t read32(const Bytes& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
    return value;
}

TEST(SimulatedFingerprintSensor, TheImageIsAGreyBitmapThatDecodesToTheScan) {
    auto sensor = openSensor({"right thumb"});
    const Capture capture = touch(*sensor);
    ASSERT_EQ(capture.status, kOk);
    const Bytes& image = capture.image;
    EXPECT_EQ(image[0], 'B');
    EXPECT_EQ(image[1], 'M');
    const uint32_t fileSize = read32(image, 2);
    EXPECT_EQ(read32(image, 18), 256u);  // width
    EXPECT_EQ(read32(image, 22), 360u);  // height, bottom row first
    EXPECT_EQ(image[28], 8);             // bits per pixel
    ASSERT_LT(fileSize, kFingerprintImageBytes);
    // The rest of the buffer is zero, so the whole buffer written to a file still opens.
    EXPECT_EQ(Bytes(image.begin() + fileSize, image.end()), Bytes(image.size() - fileSize, 0));

    Picture picture;
    ASSERT_EQ(decodePicture(Bytes(image.begin(), image.end()), picture), kOk);
    EXPECT_EQ(picture.width, 256);
    EXPECT_EQ(picture.height, 360);
    GreyImage scan;
    ASSERT_EQ(readRawScan(capture.raw.data(), capture.raw.size(), scan), kOk);
    // The bitmap shows exactly the scan the feature is made from (its palette is grey).
    for (int y : {0, 100, 180, 359}) {
        for (int x : {0, 64, 128, 255}) {
            const size_t at = (static_cast<size_t>(y) * picture.width + x) * picture.components;
            EXPECT_EQ(picture.pixels[at], scan.at(x, y)) << x << "," << y;
        }
    }
    // A finger, not a blank: dark ridges and light valleys.
    int dark = 0, light = 0;
    for (uint8_t value : scan.pixels) (value < 100 ? dark : light) += value < 100 || value > 200;
    EXPECT_GT(dark, 10000);
    EXPECT_GT(light, 10000);
}

TEST(SimulatedFingerprintSensor, TheSameFingerScoresHighAndOtherFingersLow) {
    const std::vector<std::string> fingers = {"right thumb", "right index", "right middle",
                                              "left thumb",  "left index",  "left ring"};
    std::vector<std::string> touches;
    for (const std::string& finger : fingers) touches.insert(touches.end(), 3, finger);
    auto sensor = openSensor(touches);
    std::vector<Capture> captures;
    for (size_t i = 0; i < touches.size(); ++i) captures.push_back(touch(*sensor));

    for (size_t a = 0; a < captures.size(); ++a) {
        for (size_t b = a + 1; b < captures.size(); ++b) {
            const int score =
                sensor->compare(captures[a].feature.data(), captures[b].feature.data());
            SCOPED_TRACE(touches[a] + " / " + touches[b]);
            if (touches[a] == touches[b]) {
                // Two touches of one finger differ, yet match.
                EXPECT_NE(captures[a].image, captures[b].image);
                EXPECT_GE(score, 80);
                EXPECT_LE(score, 100);
            } else {
                EXPECT_GE(score, 0);
                EXPECT_LE(score, 20);
            }
            EXPECT_EQ(score,
                      sensor->compare(captures[b].feature.data(), captures[a].feature.data()));
        }
    }
    EXPECT_EQ(sensor->compare(captures[0].feature.data(), captures[0].feature.data()), 100);
}

TEST(SimulatedFingerprintSensor, EverythingIsDeterministic) {
    auto first = openSensor({"left index", "right thumb"});
    auto second = openSensor({"left index", "right thumb"});
    for (int i = 0; i < 3; ++i) {
        const Capture a = touch(*first);
        const Capture b = touch(*second);
        EXPECT_EQ(a.image, b.image);
        EXPECT_EQ(a.feature, b.feature);
    }
}

TEST(SimulatedFingerprintSensor, TouchesFollowTheListAndStartAgain) {
    auto sensor = openSensor({"right thumb", "", "left index"});
    const Capture thumb = touch(*sensor);
    const Capture nothing = touch(*sensor);
    const Capture index = touch(*sensor);
    const Capture thumbAgain = touch(*sensor);
    EXPECT_EQ(thumb.status, kOk);
    EXPECT_EQ(nothing.status, kFailed);
    // No finger: the caller's buffers are left as they were.
    EXPECT_EQ(nothing.image, Bytes(kFingerprintImageBytes, 0xEE));
    EXPECT_EQ(nothing.raw, Bytes(kFingerprintImageBytes, 0xEE));
    ASSERT_EQ(index.status, kOk);
    ASSERT_EQ(thumbAgain.status, kOk);
    EXPECT_GE(sensor->compare(thumb.feature.data(), thumbAgain.feature.data()), 80);
    EXPECT_LE(sensor->compare(thumb.feature.data(), index.feature.data()), 20);
}

TEST(SimulatedFingerprintSensor, CapturingNeedsAnOpenSensorButMatchingDoesNot) {
    FingerprintSettings settings;
    SimulatedFingerprintSensor sensor(settings);
    Capture closed;
    EXPECT_EQ(sensor.captureImage(closed.image.data(), closed.raw.data()), kFailed);
    ASSERT_EQ(sensor.init(), kOk);
    const Capture first = touch(sensor);
    ASSERT_EQ(first.status, kOk);
    ASSERT_EQ(sensor.uninit(), kOk);
    EXPECT_EQ(sensor.captureImage(closed.image.data(), closed.raw.data()), kFailed);
    Bytes feature(kFingerprintFeatureBytes, 0);
    EXPECT_EQ(sensor.extractFeature(first.raw.data(), feature.data()), kOk);
    EXPECT_EQ(sensor.compare(first.feature.data(), feature.data()), 100);
}

TEST(SimulatedFingerprintSensor, ForeignBuffersAreRefused) {
    auto sensor = openSensor({"right thumb"});
    const Capture capture = touch(*sensor);
    Bytes feature(kFingerprintFeatureBytes, 0x55);

    const Bytes zeroRaw(kFingerprintImageBytes, 0);
    EXPECT_EQ(sensor->extractFeature(zeroRaw.data(), feature.data()), kInvalidArgument);
    EXPECT_EQ(feature, Bytes(kFingerprintFeatureBytes, 0x55));
    // A scan header that claims another size.
    Bytes oddRaw = capture.raw;
    oddRaw[4] = 0xFF;
    oddRaw[5] = 0xFF;
    EXPECT_EQ(sensor->extractFeature(oddRaw.data(), feature.data()), kInvalidArgument);
    // A scan of a blank sensor has no ridges to read.
    Bytes blankRaw = capture.raw;
    std::memset(blankRaw.data() + 8, 255, 256 * 360);
    EXPECT_EQ(sensor->extractFeature(blankRaw.data(), feature.data()), kFailed);

    const Bytes zeroFeature(kFingerprintFeatureBytes, 0);
    EXPECT_EQ(sensor->compare(zeroFeature.data(), capture.feature.data()), kInvalidArgument);
    EXPECT_EQ(sensor->compare(capture.feature.data(), zeroFeature.data()), kInvalidArgument);
}

TEST(FingerprintFeature, FitsTheBytesABase64FeatureTextCarries) {
    auto sensor = openSensor({"right middle"});
    const Capture first = touch(*sensor);
    const Capture second = touch(*sensor);
    EXPECT_EQ(Bytes(first.feature.begin() + kFeatureUsedBytes, first.feature.end()),
              Bytes(kFingerprintFeatureBytes - kFeatureUsedBytes, 0));
    // Cut to the 768 bytes a Base64 text of 1024 characters decodes to, it compares the same.
    Bytes cut = second.feature;
    std::fill(cut.begin() + 768, cut.end(), 0x7F);
    EXPECT_EQ(sensor->compare(first.feature.data(), cut.data()),
              sensor->compare(first.feature.data(), second.feature.data()));
}

TEST(FingerprintSettings, ReadsTouchesAndRefusesWhatItDoesNotKnow) {
    FingerprintSettings settings;
    EXPECT_EQ(readFingerprintSettings(parse(R"({"simulated": false,
        "touches": ["left thumb", null, ""]})"),
                                      settings),
              "");
    EXPECT_FALSE(settings.simulated);
    EXPECT_EQ(settings.touches, (std::vector<std::string>{"left thumb", "", ""}));

    FingerprintSettings defaults;
    EXPECT_TRUE(defaults.simulated);
    EXPECT_EQ(defaults.touches, std::vector<std::string>{"right thumb"});

    for (const char* bad : {R"([])", R"({"touches": []})", R"({"touches": "thumb"})",
                            R"({"touches": [1]})", R"({"simulated": 1})", R"({"finger": "x"})"}) {
        FingerprintSettings ignored;
        EXPECT_NE(readFingerprintSettings(parse(bad), ignored), "") << bad;
    }
}

TEST(FingerprintSettings, DecideWhetherTheSimulatedSensorIsAttached) {
    // Only the biometrics family is looked at.
    const std::string others = R"("camera": false, "cards": false, "recognition": false,
                                  "signpad": false, "upload": false)";
    const auto attached = [&](const std::string& biometrics, const std::string& section) {
        Config config;
        config.document = parse(R"({"families": {)" + others + R"(, "biometrics": )" + biometrics +
                                "}" + (section.empty() ? "" : ", " + section) + "}");
        return findDevices(config).fingerprintSensor != nullptr;
    };
    EXPECT_TRUE(attached("true", ""));
    EXPECT_TRUE(attached("true", R"("fingerprint": {"touches": ["left ring"]})"));
    EXPECT_FALSE(attached("true", R"("fingerprint": {"simulated": false})"));
    EXPECT_FALSE(attached("false", ""));
    EXPECT_FALSE(attached("true", R"("fingerprint": {"touches": 3})"));

    // Such a section makes the whole file unusable, and the reason names it.
    pictavo_test::TempDir dir;
    const ConfigResult result =
        loadConfig(dir.write("simulator.json", R"({"fingerprint": {"touches": 3}})"));
    EXPECT_EQ(result.state, ConfigResult::State::kMalformed);
    EXPECT_NE(result.error.find("fingerprint"), std::string::npos) << result.error;
}

}  // namespace
}  // namespace pictavo
