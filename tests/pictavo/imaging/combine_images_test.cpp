// Two pictures combined into one file: each layout with its offsets, the output formats, the
// refusals; and showing a picture on a computer without a display.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../temp_dir.h"
#include "imaging_support.h"
#include "pictavo/imaging/bmp_codec.h"
#include "pictavo/imaging/document_tools.h"
#include "pictavo/imaging/png_codec.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using namespace pictavo_test;
using namespace imaging_test;

class CombineImages : public ::testing::Test {
  protected:
    void SetUp() override {
        Bytes png;
        ASSERT_TRUE(encodePng(solidPicture(40, 30, kRed), png));
        first_ = dir_.write("first.png", asText(png));
        ASSERT_TRUE(encodePng(solidPicture(20, 50, kBlue), png));
        second_ = dir_.write("second.png", asText(png));
    }

    // Combines the red 40x30 first picture and the blue 20x50 second one into a PNG (lossless,
    // so every pixel can be checked exactly) and decodes the result.
    Picture combined(int type, int offsetX, int offsetY) {
        const std::string out = dir_.file("out.png");
        EXPECT_EQ(tools_.combineImages({first_, second_, out, type, offsetX, offsetY}), kOk);
        return decodeFile(out);
    }

    using Bytes = std::vector<uint8_t>;
    TempDir dir_;
    DocumentTools tools_;
    std::string first_;
    std::string second_;
};

TEST_F(CombineImages, SideBySide) {
    Picture p = combined(kSideBySide, 0, 0);
    ASSERT_EQ(p.width, 60);
    ASSERT_EQ(p.height, 50);
    EXPECT_EQ(pixelAt(p, 39, 29), kRed);
    EXPECT_EQ(pixelAt(p, 40, 0), kBlue);
    EXPECT_EQ(pixelAt(p, 59, 49), kBlue);
    EXPECT_EQ(pixelAt(p, 0, 30), kWhite) << "below the shorter first picture";

    // A gap of 5 and the second 10 lower.
    p = combined(kSideBySide, 5, 10);
    ASSERT_EQ(p.width, 65);
    ASSERT_EQ(p.height, 60);
    EXPECT_EQ(pixelAt(p, 42, 15), kWhite);
    EXPECT_EQ(pixelAt(p, 45, 9), kWhite);
    EXPECT_EQ(pixelAt(p, 45, 10), kBlue);
    EXPECT_EQ(pixelAt(p, 64, 59), kBlue);

    // The second 10 higher: the canvas grows upwards and the first moves down.
    p = combined(kSideBySide, 0, -10);
    ASSERT_EQ(p.width, 60);
    ASSERT_EQ(p.height, 50);
    EXPECT_EQ(pixelAt(p, 0, 9), kWhite);
    EXPECT_EQ(pixelAt(p, 0, 10), kRed);
    EXPECT_EQ(pixelAt(p, 40, 0), kBlue);
    EXPECT_EQ(pixelAt(p, 40, 49), kBlue);
    EXPECT_EQ(pixelAt(p, 0, 45), kWhite) << "below the first picture";

    // Overlapping by 10: the second covers the first.
    p = combined(kSideBySide, -10, 0);
    ASSERT_EQ(p.width, 50);
    EXPECT_EQ(pixelAt(p, 29, 0), kRed);
    EXPECT_EQ(pixelAt(p, 30, 0), kBlue);
}

TEST_F(CombineImages, OneAboveTheOther) {
    Picture p = combined(kStacked, 0, 0);
    ASSERT_EQ(p.width, 40);
    ASSERT_EQ(p.height, 80);
    EXPECT_EQ(pixelAt(p, 0, 29), kRed);
    EXPECT_EQ(pixelAt(p, 0, 30), kBlue);
    EXPECT_EQ(pixelAt(p, 19, 79), kBlue);
    EXPECT_EQ(pixelAt(p, 20, 30), kWhite);

    p = combined(kStacked, -10, 5);
    ASSERT_EQ(p.width, 50);
    ASSERT_EQ(p.height, 85);
    EXPECT_EQ(pixelAt(p, 9, 0), kWhite);
    EXPECT_EQ(pixelAt(p, 10, 0), kRed);
    EXPECT_EQ(pixelAt(p, 0, 32), kWhite);
    EXPECT_EQ(pixelAt(p, 0, 35), kBlue);
    EXPECT_EQ(pixelAt(p, 20, 35), kWhite);
}

TEST_F(CombineImages, SecondDrawnOntoTheFirst) {
    Picture p = combined(kOverlay, 10, 5);
    ASSERT_EQ(p.width, 40) << "the first picture is the canvas";
    ASSERT_EQ(p.height, 30);
    EXPECT_EQ(pixelAt(p, 9, 5), kRed);
    EXPECT_EQ(pixelAt(p, 10, 4), kRed);
    EXPECT_EQ(pixelAt(p, 10, 5), kBlue);
    EXPECT_EQ(pixelAt(p, 29, 29), kBlue);
    EXPECT_EQ(pixelAt(p, 30, 29), kRed);

    p = combined(kOverlay, -10, -10);
    EXPECT_EQ(pixelAt(p, 9, 29), kBlue);
    EXPECT_EQ(pixelAt(p, 10, 0), kRed);

    p = combined(kOverlay, 1000, 1000);
    EXPECT_EQ(p.pixels, solidPicture(40, 30, kRed).pixels) << "entirely outside: cut off";
}

TEST_F(CombineImages, OutputFormatFollowsTheExtension) {
    // JPEG and BMP inputs too; the JPEG carries the first picture's density.
    const std::string jpeg = dir_.write("first.jpg", asText(solidJpeg(40, 30, kRed, 200)));
    const std::string bmp =
        dir_.write("second.bmp", asText(encodeBmp(solidPicture(20, 50, kBlue))));

    const std::string outJpeg = dir_.file("out.JPG");
    ASSERT_EQ(tools_.combineImages({jpeg, bmp, outJpeg, kSideBySide, 0, 0}), kOk);
    PictureInfo info;
    ASSERT_EQ(inspectPicture(fileBytes(outJpeg), info), kOk);
    EXPECT_EQ(info.format, ImageFormat::kJpeg);
    EXPECT_EQ(info.width, 60);
    EXPECT_NEAR(info.xDpi, 200, 0.01);
    const Picture p = decodeFile(outJpeg);
    EXPECT_TRUE(near(pixelAt(p, 10, 10), kRed));
    EXPECT_TRUE(near(pixelAt(p, 50, 40), kBlue));
    EXPECT_TRUE(near(pixelAt(p, 10, 40), kWhite));

    const std::string outBmp = dir_.file("out.bmp");
    ASSERT_EQ(tools_.combineImages({first_, bmp, outBmp, kStacked, 0, 0}), kOk);
    ASSERT_EQ(inspectPicture(fileBytes(outBmp), info), kOk);
    EXPECT_EQ(info.format, ImageFormat::kBmp);
    EXPECT_EQ(pixelAt(decodeFile(outBmp), 0, 79), kBlue);

    // A one-page PDF, the page sized by the first picture's density.
    const std::string outPdf = dir_.file("out.pdf");
    ASSERT_EQ(tools_.combineImages({jpeg, second_, outPdf, kSideBySide, 0, 0}), kOk);
    const std::vector<PointSize> sizes = pdfPageSizes(outPdf);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_NEAR(sizes[0].width, 60 * 72.0 / 200, 0.5);
    EXPECT_NEAR(sizes[0].height, 50 * 72.0 / 200, 0.5);

    // The output may replace one of its own inputs.
    ASSERT_EQ(tools_.combineImages({first_, second_, first_, kOverlay, 0, 0}), kOk);
    EXPECT_EQ(pixelAt(decodeFile(first_), 0, 0), kBlue);
}

TEST_F(CombineImages, RefusalsWriteNothing) {
    const std::string out = dir_.file("out.jpg");
    EXPECT_EQ(tools_.combineImages({first_, second_, out, 3, 0, 0}), kInvalidArgument);
    EXPECT_EQ(tools_.combineImages({first_, second_, out, -1, 0, 0}), kInvalidArgument);
    EXPECT_EQ(tools_.combineImages({first_, second_, dir_.file("out.tif"), 0, 0, 0}),
              kInvalidArgument)
        << "no writer for that extension";
    EXPECT_EQ(tools_.combineImages({first_, second_, dir_.file("out"), 0, 0, 0}), kInvalidArgument);
    EXPECT_EQ(tools_.combineImages({first_, second_, out, kSideBySide, 2000000000, 0}),
              kInvalidArgument)
        << "a canvas two billion pixels wide";
    EXPECT_EQ(tools_.combineImages({first_, second_, out, kStacked, 0, -2000000000}),
              kInvalidArgument);
    EXPECT_EQ(tools_.combineImages({first_, dir_.file("missing.png"), out, 0, 0, 0}), kFileError);
    EXPECT_EQ(tools_.combineImages({dir_.write("a.txt", "text"), second_, out, 0, 0, 0}),
              kNotSupported);
    EXPECT_EQ(tools_.combineImages({"", second_, out, 0, 0, 0}), kInvalidArgument);
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(tools_.combineImages({first_, second_, dir_.file("no/dir/out.jpg"), 0, 0, 0}),
              kFileError);
}

TEST(ShowImage, NoDisplayButTheArgumentIsCheckedFirst) {
    TempDir dir;
    DocumentTools tools;
    EXPECT_EQ(tools.show(dir.write("a.jpg", "anything")), kNotSupported);
    EXPECT_EQ(tools.show(dir.file("missing.jpg")), kFileError);
    EXPECT_EQ(tools.show(dir.path().string()), kFileError);
    EXPECT_EQ(tools.show(""), kInvalidArgument);
}

}  // namespace
