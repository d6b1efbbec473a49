// The built-in face engine: pictures decoded from files and Base64 text, scored from their pixels,
// and the live match against a camera's frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "../temp_dir.h"
#include "common/base64.h"
#include "common/jpeg_codec.h"
#include "pictavo/biometrics/pixel_face_engine.h"
#include "pictavo/imaging/bmp_codec.h"
#include "pictavo/imaging/png_codec.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

using Bytes = std::vector<uint8_t>;

// A drawn portrait: background, face, hair, eyes and mouth, placed and coloured by `look`.
struct Look {
    uint8_t background[3];
    uint8_t skin[3];
    uint8_t hair[3];
    double faceWidth, eyeHeight, eyeGap;
};

const Look kAnna = {{200, 210, 230}, {225, 185, 160}, {40, 30, 25}, 0.30, -0.08, 0.11};
const Look kBruno = {{110, 160, 110}, {170, 120, 90}, {120, 80, 30}, 0.36, -0.02, 0.14};

Picture portrait(const Look& look, int width, int height) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.components = 3;
    picture.pixels.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = (x - width / 2.0) / width, v = (y - height / 2.0) / height;
            const uint8_t* colour = look.background;
            const double fx = u / look.faceWidth, fy = v / 0.38;
            if (fx * fx + fy * fy < 1) {
                colour = v < -0.2 ? look.hair : look.skin;
                for (int side : {-1, 1}) {
                    const double ex = (u - side * look.eyeGap) / 0.05,
                                 ey = (v - look.eyeHeight) / 0.025;
                    if (ex * ex + ey * ey < 1) colour = look.hair;
                }
            }
            std::copy(colour, colour + 3,
                      picture.pixels.begin() + (static_cast<size_t>(y) * width + x) * 3);
        }
    }
    return picture;
}

// A picture with no face in it: diagonal stripes.
Picture stripes(int width, int height) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.components = 3;
    picture.pixels.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t value = ((x + y) / 12) % 2 ? 30 : 240;
            const size_t at = (static_cast<size_t>(y) * width + x) * 3;
            picture.pixels[at] = value;
            picture.pixels[at + 1] = static_cast<uint8_t>(255 - value);
            picture.pixels[at + 2] = 90;
        }
    }
    return picture;
}

Bytes jpegOf(const Picture& picture, int quality = 90) {
    Bytes bytes;
    lenvaro::jpeg::EncodeOptions options;
    options.quality = quality;
    EXPECT_TRUE(lenvaro::jpeg::encode(picture.pixels.data(), picture.width, picture.height, 3,
                                      picture.rowBytes(), options, bytes));
    return bytes;
}

Bytes pngOf(const Picture& picture) {
    Bytes bytes;
    EXPECT_TRUE(encodePng(picture, bytes));
    return bytes;
}

std::string textOf(const Bytes& bytes) { return lenvaro::base64Encode(bytes.data(), bytes.size()); }

FrameCopy frameOf(const Picture& picture) {
    FrameCopy frame;
    frame.width = picture.width;
    frame.height = picture.height;
    frame.rgb = picture.pixels;
    return frame;
}

class FaceEngine : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = dir_.file(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    int matchFiles(PixelFaceEngine& engine, const std::string& a, const std::string& b) {
        int score = -77;
        const int status = engine.matchFiles(a, b, score);
        return status == kOk ? score : status;
    }

    pictavo_test::TempDir dir_;
};

TEST_F(FaceEngine, TheSamePictureScoresHighestAndAnotherFaceOrAPatternLower) {
    PixelFaceEngine engine;
    ASSERT_EQ(engine.init(), kOk);
    const std::string anna = write("anna.jpg", jpegOf(portrait(kAnna, 240, 320)));
    const std::string annaPng = write("anna.png", pngOf(portrait(kAnna, 240, 320)));
    const std::string annaBmp = write("anna.bmp", encodeBmp(portrait(kAnna, 120, 160)));
    const std::string annaRough = write("anna-rough.jpg", jpegOf(portrait(kAnna, 240, 320), 30));
    const std::string bruno = write("bruno.jpg", jpegOf(portrait(kBruno, 240, 320)));
    const std::string pattern = write("stripes.png", pngOf(stripes(240, 320)));

    EXPECT_EQ(matchFiles(engine, anna, anna), 100);
    // The same portrait in another format, size or quality is nearly the same picture.
    for (const std::string& copy : {annaPng, annaBmp, annaRough}) {
        EXPECT_GE(matchFiles(engine, anna, copy), 90) << copy;
    }
    const int otherFace = matchFiles(engine, anna, bruno);
    EXPECT_GE(otherFace, 0);
    EXPECT_LT(otherFace, 75);
    EXPECT_LT(matchFiles(engine, anna, pattern), 30);
    EXPECT_EQ(matchFiles(engine, bruno, anna), otherFace);
}

TEST_F(FaceEngine, FailuresAreNegativeAndLeaveTheScore) {
    PixelFaceEngine engine;
    const std::string anna = write("anna.jpg", jpegOf(portrait(kAnna, 60, 80)));
    EXPECT_EQ(matchFiles(engine, anna, anna), kFailed);  // not started
    ASSERT_EQ(engine.init(), kOk);
    EXPECT_EQ(matchFiles(engine, anna, dir_.file("missing.jpg")), kFileError);
    EXPECT_EQ(matchFiles(engine, dir_.path().string(), anna), kFileError);
    EXPECT_EQ(matchFiles(engine, anna, write("notes.txt", Bytes{'h', 'e', 'l', 'l', 'o'})),
              kNotSupported);
    Bytes damaged = jpegOf(portrait(kAnna, 60, 80));
    damaged.resize(damaged.size() / 3);
    EXPECT_LT(matchFiles(engine, anna, write("damaged.jpg", damaged)), 0);
    ASSERT_EQ(engine.uninit(), kOk);
    EXPECT_EQ(matchFiles(engine, anna, anna), kFailed);
}

TEST_F(FaceEngine, Base64ImagesMayCarryLineBreaksAndADataPrefix) {
    PixelFaceEngine engine;
    ASSERT_EQ(engine.init(), kOk);
    const Bytes anna = jpegOf(portrait(kAnna, 120, 160));
    const std::string withBreaks = textOf(anna);
    ASSERT_NE(withBreaks.find("\r\n"), std::string::npos);
    std::string oneLine = withBreaks;
    lenvaro::replaceAll(oneLine, "\r\n", "");
    int score = -1;
    ASSERT_EQ(engine.matchImages(withBreaks, "data:image/jpeg;base64," + oneLine, score), kOk);
    EXPECT_EQ(score, 100);
    ASSERT_EQ(engine.matchImages(oneLine, textOf(pngOf(portrait(kBruno, 120, 160))), score), kOk);
    EXPECT_LT(score, 75);

    score = -1;
    EXPECT_EQ(engine.matchImages(oneLine, "not*base64", score), kInvalidArgument);
    EXPECT_EQ(engine.matchImages("data:image/png,abc", oneLine, score), kInvalidArgument);
    EXPECT_EQ(engine.matchImages(oneLine, "aGVsbG8=", score), kNotSupported);  // "hello"
    EXPECT_EQ(score, -1);
}

TEST_F(FaceEngine, LivenessIsASettingTheEngineReports) {
    PixelFaceEngine engine;
    EXPECT_FALSE(engine.livenessCheck());
    EXPECT_EQ(engine.setLivenessCheck(true), kOk);
    EXPECT_TRUE(engine.livenessCheck());
    EXPECT_EQ(engine.setLivenessCheck(false), kOk);
    EXPECT_FALSE(engine.livenessCheck());
}

TEST_F(FaceEngine, ACameraMatchLooksUntilTheFaceAppearsOrTheTimeIsUp) {
    const Picture anna = portrait(kAnna, 160, 120);
    std::vector<FrameCopy> shown = {frameOf(stripes(160, 120)), frameOf(stripes(160, 120)),
                                    frameOf(anna)};
    size_t looks = 0;
    std::vector<int> devices;
    PixelFaceEngine engine([&](int dev, FrameCopy& frame) {
        devices.push_back(dev);
        frame = shown[std::min(looks++, shown.size() - 1)];
        return kOk;
    });
    ASSERT_EQ(engine.init(), kOk);
    const std::string reference = write("anna.png", pngOf(anna));

    // No time: one look, at the stripes.
    int score = -1;
    ASSERT_EQ(engine.matchFileWithCamera(1, reference, 0, score), kOk);
    EXPECT_EQ(looks, 1u);
    EXPECT_LT(score, 30);

    // Time enough: it watches until the face shows, and stops there.
    looks = 0;
    ASSERT_EQ(engine.matchImageWithCamera(1, textOf(pngOf(anna)), 10000, score), kOk);
    EXPECT_EQ(looks, 3u);
    EXPECT_GE(score, PixelFaceEngine::kCertainScore);
    EXPECT_EQ(devices, std::vector<int>(4, 1));
}

TEST_F(FaceEngine, ACameraMatchKeepsTheBestFrameUntilTheTimeIsUp) {
    const Picture anna = portrait(kAnna, 160, 120);
    // The face shows, half hidden, then goes.
    Picture hidden = anna;
    std::fill(hidden.pixels.begin(), hidden.pixels.begin() + hidden.pixels.size() / 2, 0);
    std::vector<FrameCopy> shown = {frameOf(hidden), frameOf(stripes(160, 120))};
    size_t looks = 0;
    PixelFaceEngine engine([&](int, FrameCopy& frame) {
        frame = shown[std::min(looks++, shown.size() - 1)];
        return kOk;
    });
    ASSERT_EQ(engine.init(), kOk);
    int alone = -1;
    ASSERT_EQ(engine.matchImageWithCamera(0, textOf(pngOf(anna)), 0, alone), kOk);
    looks = 0;
    int score = -1;
    ASSERT_EQ(engine.matchImageWithCamera(0, textOf(pngOf(anna)), 150, score), kOk);
    EXPECT_GT(looks, 1u);
    EXPECT_EQ(score, alone);
}

TEST_F(FaceEngine, ACameraMatchFailsWithoutAPicture) {
    const std::string reference = write("anna.png", pngOf(portrait(kAnna, 80, 60)));
    int score = -1;
    {
        // Today no camera feeds the library: the default source answers that none is open.
        PixelFaceEngine engine;
        ASSERT_EQ(engine.init(), kOk);
        EXPECT_EQ(engine.matchFileWithCamera(0, reference, 0, score), kNoDevice);
    }
    PixelFaceEngine broken([](int, FrameCopy& frame) {
        frame.width = 10;
        frame.height = 10;
        frame.rgb.assign(5, 0);  // shorter than the frame it claims
        return kOk;
    });
    ASSERT_EQ(broken.init(), kOk);
    EXPECT_EQ(broken.matchFileWithCamera(0, reference, 0, score), kFailed);
    EXPECT_EQ(broken.matchFileWithCamera(0, dir_.file("missing.png"), 0, score), kFileError);
    EXPECT_EQ(broken.matchImageWithCamera(0, "%%%", 0, score), kInvalidArgument);
    ASSERT_EQ(broken.uninit(), kOk);
    EXPECT_EQ(broken.matchFileWithCamera(0, reference, 0, score), kFailed);
    EXPECT_EQ(score, -1);
}

}  // namespace
}  // namespace pictavo
