// Recordings: the AVI files hold every frame, findable through the index and decodable, with
// headers that tell the truth about count, size and rate; at the size limit the file stays valid
// and the loss is reported.
#include "pictavo/camera/avi_writer.h"

#include <gtest/gtest.h>

#include "../temp_dir.h"
#include "camera_test_support.h"
#include "pictavo/camera/capture_pipeline.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using namespace std::chrono_literals;

std::vector<uint8_t> readAll(const std::string& path) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(lenvaro::jpeg::readBytes(path, bytes));
    return bytes;
}

// Frame i is a solid colour with red = 20 * i, so frames can be told apart after decoding.
std::vector<uint8_t> frameJpeg(int i, int width = 160, int height = 120) {
    std::vector<uint8_t> jpeg;
    EXPECT_TRUE(encodeFrame(
        pictavo_test::solidFrame(width, height, static_cast<uint8_t>(20 * i), 90, 30), 80, jpeg));
    return jpeg;
}

TEST(AviWriter, EveryFrameIsIndexedDecodableAndInOrder) {
    pictavo_test::TempDir dir;
    const std::string path = dir.file("clip.avi");
    AviWriter writer;
    ASSERT_EQ(writer.open(path, 160, 120, 15, false), kOk);
    const auto start = AviWriter::Clock::now();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(writer.addFrame(frameJpeg(i), start + i * 100ms), kOk);
    ASSERT_EQ(writer.close(), kOk);
    EXPECT_FALSE(writer.isOpen());

    const pictavo_test::AviContents avi = pictavo_test::parseAvi(readAll(path));
    ASSERT_EQ(avi.error, "");
    EXPECT_EQ(avi.streams, 1u);
    EXPECT_EQ(avi.width, 160u);
    EXPECT_EQ(avi.height, 120u);
    EXPECT_EQ(avi.videoHandler, "MJPG");
    EXPECT_EQ(avi.totalFrames, 10u);
    EXPECT_EQ(avi.videoLength, 10u);
    EXPECT_EQ(avi.microsecondsPerFrame, 100000u) << "the rate the frames came at, not the nominal";
    ASSERT_EQ(avi.videoFrames.size(), 10u);
    for (int i = 0; i < 10; ++i) {
        lenvaro::jpeg::Image image;
        ASSERT_TRUE(lenvaro::jpeg::decode(avi.videoFrames[static_cast<size_t>(i)].data(),
                                          avi.videoFrames[static_cast<size_t>(i)].size(), image));
        EXPECT_EQ(image.width, 160);
        EXPECT_NEAR(pictavo_test::pixelAt(image, 80, 60).r, 20 * i, 8) << "frame " << i;
    }
}

TEST(AviWriter, TheSimulatedMicrophoneAddsSilenceAsLongAsTheVideo) {
    pictavo_test::TempDir dir;
    const std::string path = dir.file("clip.avi");
    AviWriter writer;
    ASSERT_EQ(writer.open(path, 160, 120, 10, true), kOk);
    const auto start = AviWriter::Clock::now();
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(writer.addFrame(frameJpeg(i % 10), start + i * 100ms), kOk);
    ASSERT_EQ(writer.close(), kOk);
    const pictavo_test::AviContents avi = pictavo_test::parseAvi(readAll(path));
    ASSERT_EQ(avi.error, "");
    EXPECT_EQ(avi.streams, 2u);
    EXPECT_EQ(avi.videoFrames.size(), 20u);
    // Twenty frames of 100 ms: two seconds of 16 kHz mono 16-bit sound.
    EXPECT_EQ(avi.audioLength, 32000u);
    EXPECT_EQ(avi.audioBytes, 64000u);
}

TEST(AviWriter, OneOrNoFrameStillMakesAValidFile) {
    pictavo_test::TempDir dir;
    for (int frames : {0, 1}) {
        const std::string path = dir.file("clip" + std::to_string(frames) + ".avi");
        AviWriter writer;
        ASSERT_EQ(writer.open(path, 160, 120, 15, false), kOk);
        if (frames == 1) {
            ASSERT_EQ(writer.addFrame(frameJpeg(1), AviWriter::Clock::now()), kOk);
        }
        ASSERT_EQ(writer.close(), kOk);
        const pictavo_test::AviContents avi = pictavo_test::parseAvi(readAll(path));
        EXPECT_EQ(avi.error, "");
        EXPECT_EQ(avi.totalFrames, static_cast<uint32_t>(frames));
        EXPECT_EQ(avi.microsecondsPerFrame, 66666u) << "the nominal rate";
    }
}

TEST(AviWriter, AtTheSizeLimitFramesAreLeftOutAndTheLossReported) {
    pictavo_test::TempDir dir;
    const std::string path = dir.file("clip.avi");
    const size_t frameBytes = frameJpeg(1).size();
    AviWriter writer(1000 + 3 * (frameBytes + 40));  // room for about three frames
    ASSERT_EQ(writer.open(path, 160, 120, 15, false), kOk);
    int taken = 0;
    int refused = 0;
    for (int i = 0; i < 8; ++i) {
        const int status = writer.addFrame(frameJpeg(1), AviWriter::Clock::now());
        if (status == kOk)
            ++taken;
        else if (status == kFailed)
            ++refused;
    }
    EXPECT_GE(taken, 2);
    EXPECT_EQ(taken + refused, 8);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(writer.close(), kFileError) << "a recording cut short is not reported as done";
    const pictavo_test::AviContents avi = pictavo_test::parseAvi(readAll(path));
    EXPECT_EQ(avi.error, "");
    EXPECT_EQ(avi.videoFrames.size(), static_cast<size_t>(taken));
}

TEST(AviWriter, APathThatCannotBeWrittenFailsAtOpen) {
    pictavo_test::TempDir dir;
    AviWriter writer;
    EXPECT_EQ(writer.open(dir.file("no/such/dir.avi"), 160, 120, 15, false), kFileError);
    EXPECT_EQ(writer.open(dir.file("a.avi"), 0, 120, 15, false), kInvalidArgument);
    EXPECT_EQ(writer.addFrame(frameJpeg(1), AviWriter::Clock::now()), kInvalidArgument);
    EXPECT_EQ(writer.close(), kInvalidArgument);
}

}  // namespace
