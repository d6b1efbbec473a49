#include "common/jpeg_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "common/paths.h"

namespace lenvaro::jpeg {
namespace {

// A width x height picture, left half red, right half blue, with a green band on top; `bgr` and
// `bottomUp` describe how the bytes are laid out.
std::vector<uint8_t> halves(int width, int height, size_t stride, bool bgr, bool bottomUp) {
    std::vector<uint8_t> pixels(stride * static_cast<size_t>(height), 0);
    for (int y = 0; y < height; ++y) {
        const int row = bottomUp ? height - 1 - y : y;
        for (int x = 0; x < width; ++x) {
            uint8_t r = x < width / 2 ? 255 : 0, g = 0, b = x < width / 2 ? 0 : 255;
            if (y < 8) r = 0, g = 255, b = 0;
            uint8_t* p = pixels.data() + static_cast<size_t>(row) * stride + static_cast<size_t>(x) * 3;
            p[0] = bgr ? b : r;
            p[1] = g;
            p[2] = bgr ? r : b;
        }
    }
    return pixels;
}

// Colour at (x, y) of a decoded RGB picture, each channel near the expected one.
void expectColour(const Image& image, int x, int y, int r, int g, int b) {
    const uint8_t* p = image.pixels.data() + (static_cast<size_t>(y) * image.width + x) * 3;
    EXPECT_NEAR(p[0], r, 40) << x << "," << y;
    EXPECT_NEAR(p[1], g, 40) << x << "," << y;
    EXPECT_NEAR(p[2], b, 40) << x << "," << y;
}

TEST(JpegCodec, RoundTripsRgbAndBottomUpBgrWithPaddedRows) {
    for (bool bgr : {false, true}) {
        const int width = 37, height = 21;  // odd sizes: rows are not multiples of 4 bytes
        const size_t stride = 37 * 3 + 5;
        const auto pixels = halves(width, height, stride, bgr, bgr);
        EncodeOptions options;
        options.bgr = bgr;
        options.bottomUp = bgr;
        options.quality = 95;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(encode(pixels.data(), width, height, 3, stride, options, bytes));
        Image image;
        ASSERT_TRUE(decode(bytes.data(), bytes.size(), image));
        EXPECT_EQ(image.width, width);
        EXPECT_EQ(image.height, height);
        EXPECT_EQ(image.components, 3);
        expectColour(image, 4, 2, 0, 255, 0);     // green band on top
        expectColour(image, 4, 10, 255, 0, 0);    // red left
        expectColour(image, 32, 10, 0, 0, 255);   // blue right
    }
}

// A picture still being made: the encoder asks for its rows from the top, in order, and gives
// the same file as for the finished picture; a producer that gives up fails the encoding.
TEST(JpegCodec, RowsStillBeingMadeAreAskedForInOrderAndAStopFailsTheEncoding) {
    const int width = 64, height = 100;
    const auto pixels = halves(width, height, width * 3, false, false);
    EncodeOptions options;
    std::vector<uint8_t> whole, inBands;
    ASSERT_TRUE(encode(pixels.data(), width, height, 3, width * 3, options, whole));
    std::vector<int> asked;
    options.rowsReady = [&](int rows) {
        asked.push_back(rows);
        return true;
    };
    ASSERT_TRUE(encode(pixels.data(), width, height, 3, width * 3, options, inBands));
    EXPECT_EQ(inBands, whole);
    ASSERT_GE(asked.size(), 2u);
    EXPECT_TRUE(std::is_sorted(asked.begin(), asked.end()));
    EXPECT_EQ(asked.back(), height);

    options.rowsReady = [](int rows) { return rows <= height / 2; };
    EXPECT_FALSE(encode(pixels.data(), width, height, 3, width * 3, options, inBands));
    EXPECT_TRUE(inBands.empty());
}

TEST(JpegCodec, HeaderCarriesDensityAndComments) {
    const auto pixels = halves(16, 16, 48, false, false);
    EncodeOptions options;
    options.xDpi = 300;
    options.yDpi = 200;
    options.comments = {"first", std::string("with\0zero", 9)};
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(encode(pixels.data(), 16, 16, 3, 48, options, bytes));
    Info info;
    ASSERT_TRUE(readInfo(bytes.data(), bytes.size(), info));
    EXPECT_EQ(info.width, 16);
    EXPECT_EQ(info.densityUnit, 1);
    EXPECT_EQ(info.xDensity, 300);
    EXPECT_EQ(info.yDensity, 200);
    EXPECT_EQ(info.comments, options.comments);
}

TEST(JpegCodec, GreyStaysGreyWhenAsked) {
    std::vector<uint8_t> grey(8 * 8, 128);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(encode(grey.data(), 8, 8, 1, 8, EncodeOptions(), bytes));
    Image image;
    ASSERT_TRUE(decode(bytes.data(), bytes.size(), image, nullptr, true));
    EXPECT_EQ(image.components, 1);
    ASSERT_TRUE(decode(bytes.data(), bytes.size(), image));
    EXPECT_EQ(image.components, 3);
}

TEST(JpegCodec, BadInputFailsWithoutEndingTheProcess) {
    std::string error;
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(encode(nullptr, 4, 4, 3, 12, EncodeOptions(), bytes, &error));
    uint8_t pixel[3] = {};
    EXPECT_FALSE(encode(pixel, 0, 1, 3, 3, EncodeOptions(), bytes, &error));
    EXPECT_FALSE(encode(pixel, 2, 1, 3, 3, EncodeOptions(), bytes, &error));  // stride too short

    Image image;
    const std::string garbage = "this is not a JPEG at all";
    EXPECT_FALSE(decode(reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size(), image, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(image.width, 0);
    Info info;
    EXPECT_FALSE(readInfo(reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size(), info));

    // A cut-off file still decodes (libjpeg fills the rest), it does not fail or abort.
    const auto pixels = halves(64, 64, 192, false, false);
    ASSERT_TRUE(encode(pixels.data(), 64, 64, 3, 192, EncodeOptions(), bytes));
    size_t scanStart = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) scanStart = i;
    }
    ASSERT_GT(scanStart, 0u);
    bytes.resize(scanStart + (bytes.size() - scanStart) / 2);
    EXPECT_TRUE(decode(bytes.data(), bytes.size(), image, &error)) << error;
    bytes.resize(10);
    EXPECT_FALSE(decode(bytes.data(), bytes.size(), image));
}

TEST(JpegCodec, FilesAreWrittenPrivatelyAndReadBack) {
    ScratchDirectory dir;
    const auto pixels = halves(10, 10, 30, false, false);
    const std::string path = dir.file("out.jpg");
    ASSERT_TRUE(writeFile(path, pixels.data(), 10, 10, 3, 30, EncodeOptions()));
    Image image;
    ASSERT_TRUE(readFile(path, image));
    EXPECT_EQ(image.width, 10);
    std::string error;
    EXPECT_FALSE(writeFile(dir.file("missing/out.jpg"), pixels.data(), 10, 10, 3, 30, EncodeOptions(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(readFile(dir.file("none.jpg"), image));
}

}  // namespace
}  // namespace lenvaro::jpeg
