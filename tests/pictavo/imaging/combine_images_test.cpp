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

// One combination of the red 40x30 first picture and the blue 20x50 second one, and the pixels
// it must give.
struct Probe {
    int x, y;
    Rgb colour;
};
struct LayoutCase {
    const char* what;
    int type, offsetX, offsetY;
    int width, height;  // of the result; 0: not checked
    std::vector<Probe> probes;
};

const LayoutCase kLayouts[] = {
    {"side by side; white below the shorter first picture", kSideBySide, 0, 0, 60, 50,
     {{39, 29, kRed}, {40, 0, kBlue}, {59, 49, kBlue}, {0, 30, kWhite}}},
    {"side by side, a gap of 5 and the second 10 lower", kSideBySide, 5, 10, 65, 60,
     {{42, 15, kWhite}, {45, 9, kWhite}, {45, 10, kBlue}, {64, 59, kBlue}}},
    {"side by side, the second 10 higher: the canvas grows upwards, the first moves down",
     kSideBySide, 0, -10, 60, 50,
     {{0, 9, kWhite}, {0, 10, kRed}, {40, 0, kBlue}, {40, 49, kBlue}, {0, 45, kWhite}}},
    {"side by side, overlapping by 10: the second covers the first", kSideBySide, -10, 0, 50, 0,
     {{29, 0, kRed}, {30, 0, kBlue}}},
    {"one above the other", kStacked, 0, 0, 40, 80,
     {{0, 29, kRed}, {0, 30, kBlue}, {19, 79, kBlue}, {20, 30, kWhite}}},
    {"one above the other, the second 10 left and 5 lower", kStacked, -10, 5, 50, 85,
     {{9, 0, kWhite}, {10, 0, kRed}, {0, 32, kWhite}, {0, 35, kBlue}, {20, 35, kWhite}}},
    {"the second drawn onto the first, which is the canvas", kOverlay, 10, 5, 40, 30,
     {{9, 5, kRed}, {10, 4, kRed}, {10, 5, kBlue}, {29, 29, kBlue}, {30, 29, kRed}}},
    {"the second drawn onto the first, partly outside it", kOverlay, -10, -10, 40, 30,
     {{9, 29, kBlue}, {10, 0, kRed}}},
};

TEST_F(CombineImages, EachLayoutPlacesBothPicturesAtTheirOffsets) {
    for (const LayoutCase& layout : kLayouts) {
        SCOPED_TRACE(layout.what);
        const Picture p = combined(layout.type, layout.offsetX, layout.offsetY);
        if (layout.width != 0) {
            EXPECT_EQ(p.width, layout.width);
        }
        if (layout.height != 0) {
            EXPECT_EQ(p.height, layout.height);
        }
        for (const Probe& probe : layout.probes) {
            if (probe.x >= p.width || probe.y >= p.height) {
                ADD_FAILURE() << probe.x << "," << probe.y << " is outside " << p.width << "x" << p.height;
                continue;
            }
            EXPECT_EQ(pixelAt(p, probe.x, probe.y), probe.colour) << "at " << probe.x << "," << probe.y;
        }
    }
    EXPECT_EQ(combined(kOverlay, 1000, 1000).pixels, solidPicture(40, 30, kRed).pixels)
        << "a second picture entirely outside the first is cut off";
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
    const std::string text = dir_.write("a.txt", "text");
    const struct {
        const char* what;
        CombineRequest request;
        int status;
    } kRefusals[] = {
        {"layout 3", {first_, second_, out, 3, 0, 0}, kInvalidArgument},
        {"layout -1", {first_, second_, out, -1, 0, 0}, kInvalidArgument},
        {"no writer for that extension", {first_, second_, dir_.file("out.tif"), 0, 0, 0}, kInvalidArgument},
        {"no extension", {first_, second_, dir_.file("out"), 0, 0, 0}, kInvalidArgument},
        {"a canvas two billion pixels wide", {first_, second_, out, kSideBySide, 2000000000, 0}, kInvalidArgument},
        {"a canvas two billion pixels high", {first_, second_, out, kStacked, 0, -2000000000}, kInvalidArgument},
        {"a missing second picture", {first_, dir_.file("missing.png"), out, 0, 0, 0}, kFileError},
        {"a first picture that is text", {text, second_, out, 0, 0, 0}, kNotSupported},
        {"no first picture", {"", second_, out, 0, 0, 0}, kInvalidArgument},
        {"a folder that does not exist", {first_, second_, dir_.file("no/dir/out.jpg"), 0, 0, 0}, kFileError},
    };
    for (const auto& refusal : kRefusals) {
        EXPECT_EQ(tools_.combineImages(refusal.request), refusal.status) << refusal.what;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
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
