// The file sign: a marked file checks out, and any change to it afterwards, or another key, or a
// file that was never marked, does not.
#include "pictavo/camera/file_sign.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "../temp_dir.h"
#include "camera_test_support.h"
#include "pictavo/camera/capture_pipeline.h"
#include "pictavo/file_ops.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;

std::vector<uint8_t> sampleJpeg() {
    const Frame frame = pictavo_test::solidFrame(64, 48, 30, 120, 200);
    std::vector<uint8_t> jpeg;
    EXPECT_TRUE(encodeFrame(frame, 90, jpeg));
    return jpeg;
}

std::vector<uint8_t> key(uint8_t fill) { return std::vector<uint8_t>(32, fill); }

TEST(FileSign, AMarkedFileChecksOutAndStaysADecodablePicture) {
    std::vector<uint8_t> jpeg = sampleJpeg();
    const std::vector<uint8_t> original = jpeg;
    ASSERT_EQ(signJpeg(jpeg, key(7)), kOk);
    EXPECT_GT(jpeg.size(), original.size());
    EXPECT_EQ(verifyJpeg(jpeg, key(7)), kOk);

    lenvaro::jpeg::Info info;
    ASSERT_TRUE(lenvaro::jpeg::readInfo(jpeg.data(), jpeg.size(), info));
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.densityUnit, 0) << "the JFIF header still comes first";
    ASSERT_EQ(info.comments.size(), 1u);
    EXPECT_EQ(info.comments[0].rfind("pictavo-file-sign:v1:hmac-sha256:", 0), 0u);
    lenvaro::jpeg::Image image;
    EXPECT_TRUE(lenvaro::jpeg::decode(jpeg.data(), jpeg.size(), image));

    EXPECT_EQ(signJpeg(jpeg, key(7)), kInvalidArgument) << "a file is marked once";
}

TEST(FileSign, AnyChangeOrAnotherKeyBreaksTheMark) {
    std::vector<uint8_t> signedJpeg = sampleJpeg();
    ASSERT_EQ(signJpeg(signedJpeg, key(7)), kOk);
    EXPECT_EQ(verifyJpeg(signedJpeg, key(8)), kFailed);

    // One bit anywhere: in the image data, in the header, in the mark itself.
    for (size_t at : {signedJpeg.size() - 20, size_t{10}, size_t{25}, signedJpeg.size() / 2}) {
        std::vector<uint8_t> edited = signedJpeg;
        edited[at] ^= 0x01;
        EXPECT_EQ(verifyJpeg(edited, key(7)), kFailed) << "byte " << at;
    }
    std::vector<uint8_t> longer = signedJpeg;
    longer.push_back(0);
    EXPECT_EQ(verifyJpeg(longer, key(7)), kFailed) << "bytes added after the picture";

    EXPECT_EQ(verifyJpeg(sampleJpeg(), key(7)), kFailed) << "never marked";
    EXPECT_EQ(verifyJpeg({'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}, key(7)), kFailed);
    std::vector<uint8_t> twice = signedJpeg;
    twice.insert(twice.begin() + 20, signedJpeg.begin() + 20, signedJpeg.begin() + 20 + 101);
    EXPECT_EQ(verifyJpeg(twice, key(7)), kFailed) << "two marks";
}

TEST(FileSign, TheKeyIsMadeOnceAndKeptPrivate) {
    pictavo_test::TempDir dir;
    const std::string path = dir.file("config/pictavo/file-sign.key");
    std::vector<uint8_t> first, second;
    ASSERT_EQ(loadOrCreateSignKey(path, first), kOk);
    ASSERT_EQ(loadOrCreateSignKey(path, second), kOk);
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(first, second);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    std::vector<uint8_t> other;
    ASSERT_EQ(loadOrCreateSignKey(dir.file("elsewhere.key"), other), kOk);
    EXPECT_NE(first, other) << "each installation has a key of its own";

    dir.write("short.key", "too short");
    EXPECT_EQ(loadOrCreateSignKey(dir.file("short.key"), other), kFileError);
    EXPECT_EQ(loadOrCreateSignKey("", other), kFileError);
}

TEST(FileSign, TheCheckReadsTheFileWithThisInstallationsKey) {
    pictavo_test::TempDir dir;
    lenvaro::testing::ScopedEnvironment variable("PICTAVO_SIGN_KEY_FILE", dir.file("sign.key"));
    bool isSigned = false;
    const std::string unsignedFile = dir.file("plain.jpg");
    ASSERT_EQ(writeDocumentFile(unsignedFile, sampleJpeg()), kOk);
    EXPECT_EQ(checkImageFileSign(unsignedFile, isSigned), kFailed) << "no key yet: nothing signed";
    EXPECT_FALSE(isSigned);

    // A capture with the file sign on creates the key and marks the file.
    CaptureSettings settings;
    settings.fileSign = true;
    std::vector<uint8_t> jpeg;
    ASSERT_EQ(renderCapture(pictavo_test::solidFrame(80, 60, 200, 10, 10), settings, jpeg), kOk);
    const std::string signedFile = dir.file("signed.jpg");
    ASSERT_EQ(writeDocumentFile(signedFile, jpeg), kOk);
    EXPECT_EQ(checkImageFileSign(signedFile, isSigned), kOk);
    EXPECT_TRUE(isSigned);
    isSigned = false;
    EXPECT_EQ(checkImageFileSign(unsignedFile, isSigned), kFailed);
    EXPECT_FALSE(isSigned);

    // Re-encoding the same pixels (an editor saving the file) breaks the mark.
    lenvaro::jpeg::Image image;
    ASSERT_TRUE(lenvaro::jpeg::readFile(signedFile, image));
    image.pixels[0] ^= 0x40;
    ASSERT_TRUE(lenvaro::jpeg::writeFile(signedFile, image.pixels.data(), image.width, image.height,
                                         3, static_cast<size_t>(image.width) * 3,
                                         lenvaro::jpeg::EncodeOptions{}));
    EXPECT_EQ(checkImageFileSign(signedFile, isSigned), kFailed);
    EXPECT_FALSE(isSigned);

    EXPECT_EQ(checkImageFileSign(dir.file("missing.jpg"), isSigned), kFileError);
}

TEST(FileSign, WithoutAPlaceForTheKeyACaptureWithTheSignFails) {
    pictavo_test::TempDir dir;
    // The key's directory would have to be made inside a regular file.
    lenvaro::testing::ScopedEnvironment variable("PICTAVO_SIGN_KEY_FILE", dir.write("plain-file", "x") + "/sign.key");
    CaptureSettings settings;
    settings.fileSign = true;
    std::vector<uint8_t> jpeg;
    EXPECT_EQ(renderCapture(pictavo_test::solidFrame(8, 8, 1, 2, 3), settings, jpeg), kFileError);
    settings.fileSign = false;
    EXPECT_EQ(renderCapture(pictavo_test::solidFrame(8, 8, 1, 2, 3), settings, jpeg), kOk);
}

}  // namespace
