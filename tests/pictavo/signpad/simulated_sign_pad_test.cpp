// The simulated signature pad: its picture, its files, its simulated signer and how a save
// reaches the callback the service registered.
#include "pictavo/signpad/simulated_sign_pad.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "../temp_dir.h"
#include "pictavo/config.h"
#include "pictavo/imaging/picture.h"
#include "pictavo/registry.h"
#include "pictavo/signpad/signature_image.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using namespace std::chrono_literals;
using pictavo_test::TempDir;

SignParam window(int width, int height) {
    SignParam param{};
    param.right = width;
    param.bottom = height;
    param.BR = param.BG = param.BB = 255;  // white paper
    param.B = 160;                         // blue ink
    return param;
}

SignSettings settingsFor(const SignParam& param, const std::string& padFile) {
    SignSettings settings{param, padFile};
    settings.values.filepath = nullptr;
    return settings;
}

// How many pixels of the picture have the colour.
size_t pixelsOf(const Picture& picture, const uint8_t rgb[3]) {
    size_t count = 0;
    for (size_t at = 0; at + 2 < picture.pixels.size(); at += 3) {
        if (picture.pixels[at] == rgb[0] && picture.pixels[at + 1] == rgb[1] &&
            picture.pixels[at + 2] == rgb[2])
            ++count;
    }
    return count;
}

// The file decoded, with the format its bytes have.
Picture readPicture(const std::string& path, ImageFormat& format) {
    std::vector<uint8_t> bytes;
    Picture picture;
    format = ImageFormat::kUnknown;
    if (readPictureFile(path, bytes) != kOk) return picture;
    format = sniffFormat(bytes);
    decodePicture(bytes, picture);
    return picture;
}

// Pixels far from white: ink, allowing for JPEG's blur.
size_t inkedPixels(const Picture& picture) {
    size_t count = 0;
    for (size_t at = 0; at + 2 < picture.pixels.size(); at += 3) {
        if (picture.pixels[at] < 128 && picture.pixels[at + 1] < 128) ++count;
    }
    return count;
}

TEST(SignatureStyle, TakesTheWindowAndTheColoursOfTheSettings) {
    SignParam param{10, 20, 410, 220, 255, 250, 240, 9, 0, 7, 128, 3, nullptr};
    SignatureStyle style = styleFromParam(param);
    EXPECT_EQ(style.width, 400);
    EXPECT_EQ(style.height, 200);
    EXPECT_EQ(std::vector<int>(style.background, style.background + 3),
              (std::vector<int>{255, 250, 240}));
    EXPECT_EQ(std::vector<int>(style.pen, style.pen + 3), (std::vector<int>{0, 7, 128}));

    param = SignParam{50, 50, 10, 50, -5, 300, 0, 0, INT_MIN, INT_MAX, 255, 0, nullptr};
    style = styleFromParam(param);
    EXPECT_EQ(style.width, SignatureStyle{}.width) << "an inverted window takes the default size";
    EXPECT_EQ(style.height, SignatureStyle{}.height);
    EXPECT_EQ(std::vector<int>(style.background, style.background + 3),
              (std::vector<int>{0, 255, 0}));
    EXPECT_EQ(std::vector<int>(style.pen, style.pen + 3), (std::vector<int>{0, 255, 255}));

    param = SignParam{INT_MIN, -3, INT_MAX, 100000, 0, 0, 0, 0, 0, 0, 0, 0, nullptr};
    style = styleFromParam(param);
    EXPECT_EQ(style.width, kMaxSignatureSide);
    EXPECT_EQ(style.height, kMaxSignatureSide);
}

TEST(SignatureImage, IsBlankBeforeTheFirstStrokeAndInkedInThePenColourAfter) {
    const SignatureStyle style = styleFromParam(window(300, 120));
    const Picture blank = renderSignature(style, 0);
    ASSERT_EQ(blank.pixels.size(), 300u * 120 * 3);
    EXPECT_EQ(pixelsOf(blank, style.background), 300u * 120);

    const Picture one = renderSignature(style, 1);
    const size_t ink = pixelsOf(one, style.pen);
    EXPECT_GT(ink, 300u) << "a stroke crosses the window";
    EXPECT_EQ(ink + pixelsOf(one, style.background), 300u * 120) << "only paper and ink";
    const Picture two = renderSignature(style, 2);
    EXPECT_GT(pixelsOf(two, style.pen), ink) << "a second stroke adds ink";
}

TEST(SignatureImage, IsWrittenAsPngOrJpegByTheExtension) {
    TempDir dir;
    const Picture picture = renderSignature(styleFromParam(window(160, 80)), 1);
    ImageFormat format;

    ASSERT_EQ(writeSignatureImage(dir.file("s.png"), picture), kOk);
    const Picture png = readPicture(dir.file("s.png"), format);
    EXPECT_EQ(format, ImageFormat::kPng);
    EXPECT_TRUE(png.pixels == picture.pixels) << "PNG keeps every pixel";

    ASSERT_EQ(writeSignatureImage(dir.file("s.JPEG"), picture), kOk);
    const Picture jpeg = readPicture(dir.file("s.JPEG"), format);
    EXPECT_EQ(format, ImageFormat::kJpeg);
    EXPECT_EQ(jpeg.width, 160);
    EXPECT_EQ(jpeg.height, 80);
    EXPECT_GT(inkedPixels(jpeg), 100u);

    EXPECT_EQ(writeSignatureImage(dir.file("s.bmp"), picture), kNotSupported);
    EXPECT_EQ(writeSignatureImage(dir.file("png"), picture), kNotSupported);
    EXPECT_FALSE(std::filesystem::exists(dir.file("s.bmp")));
    EXPECT_EQ(writeSignatureImage(dir.file("missing/s.png"), picture), kFileError);
}

// What the listener heard, and on which thread.
class SaveLog {
  public:
    SignSavedListener listener() {
        return [this](bool saved) {
            std::lock_guard<std::mutex> lock(mutex_);
            saves_.push_back(saved);
            thread_ = std::this_thread::get_id();
            changed_.notify_all();
        };
    }
    // The saves heard once there are `count` of them, or as many as came within 10 seconds.
    std::vector<bool> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return saves_.size() >= count; });
        return saves_;
    }
    std::thread::id thread() {
        std::lock_guard<std::mutex> lock(mutex_);
        return thread_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<bool> saves_;
    std::thread::id thread_;
};

SignPadSettings quickSigner(bool saveAfterStroke = true) {
    SignPadSettings settings;
    settings.strokeAfterMs = 10;
    settings.saveAfterStroke = saveAfterStroke;
    return settings;
}

class SimulatedPad : public ::testing::Test {
  protected:
    TempDir dir_;
    SaveLog log_;
};

TEST_F(SimulatedPad, WritesTheSignatureAsItStandsBeforeReturning) {
    SimulatedSignPad pad(quickSigner());
    pad.configure(settingsFor(window(200, 100), ""));
    ASSERT_EQ(pad.saveTo(dir_.file("out.png")), kOk);
    ImageFormat format;
    const Picture blank = readPicture(dir_.file("out.png"), format);
    EXPECT_EQ(format, ImageFormat::kPng);
    EXPECT_EQ(blank.width, 200);
    EXPECT_EQ(inkedPixels(blank), 0u);
    EXPECT_EQ(pad.saveTo(dir_.file("out.gif")), kNotSupported);
}

TEST_F(SimulatedPad, SavesToItsOwnFileAfterAStrokeAndTellsTheListenerFromItsThread) {
    SimulatedSignPad pad(quickSigner());
    pad.setSavedListener(log_.listener());
    pad.configure(settingsFor(window(200, 100), dir_.file("pad.png")));
    ASSERT_EQ(pad.saveTo(dir_.file("out.jpg")), kOk);
    ASSERT_EQ(pad.startWriting(), kOk);
    EXPECT_TRUE(pad.writing());
    EXPECT_EQ(log_.waitFor(1), std::vector<bool>{true});
    EXPECT_NE(log_.thread(), std::this_thread::get_id());
    EXPECT_EQ(pad.strokes(), 1);
    ImageFormat format;
    EXPECT_GT(inkedPixels(readPicture(dir_.file("pad.png"), format)), 100u);
    EXPECT_EQ(inkedPixels(readPicture(dir_.file("out.jpg"), format)), 0u)
        << "the output file is written when asked";
    // The signature now has its stroke wherever it is asked for.
    ASSERT_EQ(pad.saveTo(dir_.file("again.png")), kOk);
    EXPECT_GT(inkedPixels(readPicture(dir_.file("again.png"), format)), 100u);
}

TEST_F(SimulatedPad, SavesToTheOutputFileWhenTheSettingsNameNone) {
    SimulatedSignPad pad(quickSigner());
    pad.setSavedListener(log_.listener());
    pad.configure(settingsFor(window(200, 100), ""));
    pad.saveTo(dir_.file("out.png"));
    pad.startWriting();
    EXPECT_EQ(log_.waitFor(1), std::vector<bool>{true});
    ImageFormat format;
    EXPECT_GT(inkedPixels(readPicture(dir_.file("out.png"), format)), 100u);
}

TEST_F(SimulatedPad, ReportsASaveThatCouldNotBeWritten) {
    SimulatedSignPad pad(quickSigner());
    pad.setSavedListener(log_.listener());
    pad.startWriting();  // no file named anywhere
    EXPECT_EQ(log_.waitFor(1), std::vector<bool>{false});
    pad.configure(settingsFor(window(200, 100), dir_.file("missing/pad.png")));
    pad.startWriting();
    EXPECT_EQ(log_.waitFor(2), (std::vector<bool>{false, false}));
}

TEST_F(SimulatedPad, StoppingBeforeTheStrokeWritesNothing) {
    SignPadSettings settings;
    settings.strokeAfterMs = 300;
    SimulatedSignPad pad(settings);
    pad.setSavedListener(log_.listener());
    pad.configure(settingsFor(window(200, 100), dir_.file("pad.png")));
    pad.startWriting();
    EXPECT_EQ(pad.stopWriting(), kOk);
    EXPECT_FALSE(pad.writing());
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(pad.strokes(), 0);
    EXPECT_TRUE(log_.waitFor(0).empty());
    EXPECT_FALSE(std::filesystem::exists(dir_.file("pad.png")));
}

TEST_F(SimulatedPad, WithoutSavingAStrokeOnlyInks) {
    SimulatedSignPad pad(quickSigner(false));
    pad.setSavedListener(log_.listener());
    pad.configure(settingsFor(window(200, 100), dir_.file("pad.png")));
    pad.startWriting();
    for (int i = 0; i < 1000 && pad.strokes() == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(pad.strokes(), 1);
    EXPECT_TRUE(pad.writing());
    EXPECT_TRUE(log_.waitFor(0).empty());
    EXPECT_FALSE(std::filesystem::exists(dir_.file("pad.png")));
}

TEST_F(SimulatedPad, InitAndConfigureStartAFreshSignature) {
    SimulatedSignPad pad(quickSigner());
    pad.setSavedListener(log_.listener());
    pad.startWriting();
    log_.waitFor(1);
    ASSERT_EQ(pad.strokes(), 1);
    EXPECT_EQ(pad.configure(settingsFor(window(200, 100), "")), kOk);
    EXPECT_EQ(pad.strokes(), 0);
    pad.startWriting();
    log_.waitFor(2);
    EXPECT_EQ(pad.init(), kOk);
    EXPECT_EQ(pad.strokes(), 0);
    EXPECT_FALSE(pad.writing());
}

TEST_F(SimulatedPad, AListenerMayCallStraightBackIntoThePad) {
    SimulatedSignPad pad(quickSigner());
    std::atomic<int> strokesSeen{-1};
    pad.setSavedListener([&](bool saved) {
        if (saved) pad.stopWriting();
        strokesSeen = pad.strokes();
        log_.listener()(saved);
    });
    pad.configure(settingsFor(window(200, 100), dir_.file("pad.png")));
    pad.startWriting();
    EXPECT_EQ(log_.waitFor(1), std::vector<bool>{true});
    EXPECT_EQ(strokesSeen, 1);
    EXPECT_FALSE(pad.writing());
}

TEST_F(SimulatedPad, GoesAwayWithAStrokeStillPending) {
    SignPadSettings settings;
    settings.strokeAfterMs = 600000;
    auto pad = std::make_unique<SimulatedSignPad>(settings);
    pad->setSavedListener(log_.listener());
    pad->startWriting();
    pad.reset();  // must not wait for the stroke
    EXPECT_TRUE(log_.waitFor(0).empty());
}

// The service's callback as the registry calls it.
std::atomic<int> savedCalls{0};
std::atomic<bool> lastSaved{false};
bool recordSaved(bool saved) {
    lastSaved = saved;
    ++savedCalls;
    return true;
}

TEST(SignPadRegistry, ASaveByThePadReachesTheRegisteredCallback) {
    TempDir dir;
    Devices devices;
    devices.signPad = std::make_unique<SimulatedSignPad>(quickSigner());
    Registry registry(std::move(devices));
    savedCalls = 0;
    ASSERT_EQ(registry.setSignSavedCallback(&recordSaved), kOk);
    registry.signPad().configure(settingsFor(window(100, 50), dir.file("pad.png")));
    registry.signPad().startWriting();
    for (int i = 0; i < 1000 && savedCalls == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(savedCalls, 1);
    EXPECT_TRUE(lastSaved);
    EXPECT_TRUE(std::filesystem::exists(dir.file("pad.png")));
}

TEST(SignPadDevices, TheSimulatedPadIsThereUnlessTurnedOff) {
    Config config;
    config.document["families"] = Json::Value(Json::objectValue);
    config.document["families"]["camera"] = false;
    EXPECT_NE(findDevices(config).signPad, nullptr);
    config.document["signpad"]["simulated"] = false;
    EXPECT_EQ(findDevices(config).signPad, nullptr);
    config.document["signpad"]["simulated"] = true;
    config.document["families"]["signpad"] = false;
    EXPECT_EQ(findDevices(config).signPad, nullptr);
}

TEST(SignPadConfig, ReadsTheSectionAndRefusesWhatItDoesNotKnow) {
    Json::Value section(Json::objectValue);
    section["simulated"] = false;
    section["strokeAfterMs"] = 250;
    section["saveAfterStroke"] = false;
    SignPadSettings settings;
    EXPECT_EQ(readSignPadSettings(section, settings), "");
    EXPECT_FALSE(settings.simulated);
    EXPECT_EQ(settings.strokeAfterMs, 250);
    EXPECT_FALSE(settings.saveAfterStroke);

    const std::vector<std::pair<std::string, Json::Value>> wrong = {
        {"strokeAfterMs", -1}, {"strokeAfterMs", 600001},  {"strokeAfterMs", "5"},
        {"simulated", 1},      {"saveAfterStroke", "yes"}, {"width", 5}};
    for (const auto& [key, value] : wrong) {
        Json::Value bad(Json::objectValue);
        bad[key] = value;
        EXPECT_NE(readSignPadSettings(bad, settings), "") << key;
    }
    EXPECT_NE(readSignPadSettings(Json::Value(3), settings), "");

    TempDir dir;
    ConfigResult result = loadConfig(dir.write("c.json", R"({"signpad": {"strokeAfterMs": -2}})"));
    EXPECT_EQ(result.state, ConfigResult::State::kMalformed);
    EXPECT_NE(result.error.find("signpad"), std::string::npos) << result.error;
    result = loadConfig(dir.write("d.json", R"({"signpad": {"strokeAfterMs": 20}})"));
    ASSERT_EQ(result.state, ConfigResult::State::kLoaded) << result.error;
    EXPECT_EQ(result.config.signPadSettings().strokeAfterMs, 20);
    EXPECT_TRUE(result.config.signPadSettings().saveAfterStroke);
}

TEST(SignPadConfig, TheShippedConfigurationDescribesThePadAndTheUploadLimits) {
    const ConfigResult shipped = loadConfig(PICTAVO_TEST_DATA "/../../../cfg/simulator.json");
    ASSERT_EQ(shipped.state, ConfigResult::State::kLoaded) << shipped.error;
    EXPECT_TRUE(shipped.config.signPadSettings().simulated);
    EXPECT_EQ(shipped.config.signPadSettings().strokeAfterMs, 1500);
    EXPECT_EQ(shipped.config.uploadSettings().connectTimeoutMs, 10000);
    EXPECT_EQ(shipped.config.uploadSettings().transferTimeoutMs, 120000);
}

}  // namespace
