// The capture pipeline on frames with known marks: every setting shows in the decoded file, in
// the right place and the right order, and bad settings are refused without changing anything.
#include "pictavo/camera/capture_pipeline.h"

#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>


#include "../font_coverage.h"
#include "../temp_dir.h"
#include "camera_test_support.h"
#include "pictavo/camera/frame_generator.h"
#include "pictavo/camera/watermark.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using pictavo_test::near;
using pictavo_test::pixelAt;
using pictavo_test::Rgb;

const Rgb kRed{255, 0, 0};
const Rgb kMidGrey{128, 128, 128};
const Rgb kBlue{0, 0, 255};

// 320 x 240 grey with a red 40 x 30 square in the top left corner and a blue one in the
// bottom right.
Frame markedFrame() {
    Frame frame = pictavo_test::solidFrame(320, 240, 128, 128, 128);
    fillRect(frame, 0, 0, 40, 30, 255, 0, 0);
    fillRect(frame, 280, 210, 40, 30, 0, 0, 255);
    return frame;
}

lenvaro::jpeg::Image decoded(const std::vector<uint8_t>& jpeg, bool keepGrey = false) {
    lenvaro::jpeg::Image image;
    EXPECT_TRUE(lenvaro::jpeg::decode(jpeg.data(), jpeg.size(), image, nullptr, keepGrey));
    return image;
}

lenvaro::jpeg::Info infoOf(const std::vector<uint8_t>& jpeg) {
    lenvaro::jpeg::Info info;
    EXPECT_TRUE(lenvaro::jpeg::readInfo(jpeg.data(), jpeg.size(), info));
    return info;
}

std::vector<uint8_t> render(const Frame& frame, const CaptureSettings& settings) {
    std::vector<uint8_t> jpeg;
    EXPECT_EQ(renderCapture(frame, settings, jpeg), kOk);
    return jpeg;
}

TEST(CapturePipeline, PlainCaptureKeepsSizeOrientationAndColours) {
    const lenvaro::jpeg::Image image = decoded(render(markedFrame(), CaptureSettings{}));
    ASSERT_EQ(image.width, 320);
    ASSERT_EQ(image.height, 240);
    EXPECT_TRUE(near(pixelAt(image, 10, 10), kRed)) << "bottom-up B,G,R becomes top-down R,G,B";
    EXPECT_TRUE(near(pixelAt(image, 310, 230), kBlue));
    EXPECT_TRUE(near(pixelAt(image, 160, 120), kMidGrey));
}

TEST(CapturePipeline, RotationTurnsClockwiseByQuarterTurnsOrDegrees) {
    struct Case {
        int mode;
        int width, height;
        int redX, redY;  // where the red corner lands
    };
    for (const Case& c :
         {Case{1, 240, 320, 230, 10}, Case{90, 240, 320, 230, 10}, Case{2, 320, 240, 310, 230},
          Case{180, 320, 240, 310, 230}, Case{3, 240, 320, 10, 310}, Case{270, 240, 320, 10, 310},
          Case{0, 320, 240, 10, 10}}) {
        SCOPED_TRACE(c.mode);
        CaptureSettings settings;
        ASSERT_EQ(applyImageOption(settings, image_option::Rotate{c.mode}), kOk);
        const lenvaro::jpeg::Image image = decoded(render(markedFrame(), settings));
        ASSERT_EQ(image.width, c.width);
        ASSERT_EQ(image.height, c.height);
        EXPECT_TRUE(near(pixelAt(image, c.redX, c.redY), kRed));
    }
    CaptureSettings settings;
    for (int bad : {-1, 4, 45, 360}) {
        EXPECT_EQ(applyImageOption(settings, image_option::Rotate{bad}), kInvalidArgument) << bad;
    }
    EXPECT_EQ(settings.quarterTurns, 0);
}

TEST(CapturePipeline, CustomCropKeepsTheRectangleClippedToTheFrame) {
    CaptureSettings settings;
    ASSERT_EQ(applyImageOption(settings, image_option::CropRect{0, 0, 60, 50}), kOk);
    lenvaro::jpeg::Image image = decoded(render(markedFrame(), settings));
    EXPECT_EQ(image.width, 60);
    EXPECT_EQ(image.height, 50);
    EXPECT_TRUE(near(pixelAt(image, 5, 5), kRed)) << "y counts from the top of the picture";
    EXPECT_TRUE(near(pixelAt(image, 55, 45), kMidGrey));

    // A rectangle larger than the frame (set for a larger resolution) is cut at its edges.
    ASSERT_EQ(applyImageOption(settings, image_option::CropRect{300, 200, 5000, 5000}), kOk);
    image = decoded(render(markedFrame(), settings));
    EXPECT_EQ(image.width, 20);
    EXPECT_EQ(image.height, 40);
    EXPECT_TRUE(near(pixelAt(image, 15, 35), kBlue));

    // Wholly outside: nothing to capture, and no file pretending otherwise.
    ASSERT_EQ(applyImageOption(settings, image_option::CropRect{400, 300, 500, 400}), kOk);
    std::vector<uint8_t> jpeg;
    EXPECT_EQ(renderCapture(markedFrame(), settings, jpeg), kInvalidArgument);

    // Crop and rotation together: the crop is in frame pixels, before the turn.
    ASSERT_EQ(applyImageOption(settings, image_option::CropRect{0, 0, 60, 50}), kOk);
    ASSERT_EQ(applyImageOption(settings, image_option::Rotate{1}), kOk);
    image = decoded(render(markedFrame(), settings));
    EXPECT_EQ(image.width, 50);
    EXPECT_EQ(image.height, 60);
    EXPECT_TRUE(near(pixelAt(image, 45, 5), kRed));
}

TEST(CapturePipeline, CropSettingsAreCheckedAndReplaceEachOther) {
    CaptureSettings settings;
    for (const auto& bad :
         {image_option::CropRect{-1, 0, 10, 10}, image_option::CropRect{0, -5, 10, 10},
          image_option::CropRect{10, 0, 10, 10}, image_option::CropRect{0, 20, 10, 10}}) {
        EXPECT_EQ(applyImageOption(settings, bad), kInvalidArgument);
    }
    EXPECT_TRUE(settings.crop.empty());

    ASSERT_EQ(applyImageOption(settings, image_option::AutoCrop{1}), kOk);
    ASSERT_EQ(applyImageOption(settings, image_option::CropRect{1, 2, 30, 40}), kOk);
    EXPECT_EQ(settings.autoCrop, kAutoCropOff) << "a custom rectangle replaces the automatic crop";
    ASSERT_EQ(applyImageOption(settings, image_option::AutoCrop{2}), kOk);
    EXPECT_TRUE(settings.crop.empty()) << "and the other way round";
    ASSERT_EQ(applyImageOption(settings, image_option::CropRect{0, 0, 0, 0}), kOk);
    EXPECT_EQ(settings.autoCrop, kAutoCropAllDocuments) << "all zero only clears the rectangle";
    EXPECT_EQ(applyImageOption(settings, image_option::AutoCrop{3}), kInvalidArgument);
    EXPECT_EQ(applyImageOption(settings, image_option::AutoCrop{-1}), kInvalidArgument);
}

TEST(CapturePipeline, AutomaticCropFindsTheSheetOnTheDesk) {
    DocumentScene scene;
    Frame frame;
    scene.render(frame, {1280, 720}, std::chrono::system_clock::now());
    CaptureSettings settings;
    ASSERT_EQ(applyImageOption(settings, image_option::AutoCrop{kAutoCropDocument}), kOk);
    const lenvaro::jpeg::Image image = decoded(render(frame, settings));
    // The sheet is 86% of the height, A4 upright: 619 x 436, found to the grid's few pixels.
    EXPECT_NEAR(image.height, 619, 8);
    EXPECT_NEAR(image.width, 436, 8);
    // The corners are paper, not desk.
    for (auto [x, y] : {std::pair{2, 2}, {image.width - 3, 2}, {2, image.height - 3}})
        EXPECT_GT(pixelAt(image, x, y).g, 200) << x << "," << y;

    // Two sheets: 1 keeps the larger, 2 takes both.
    Frame desk = pictavo_test::solidFrame(400, 300, 40, 40, 40);
    fillRect(desk, 20, 20, 150, 200, 250, 250, 250);
    fillRect(desk, 250, 100, 100, 60, 250, 250, 250);
    const lenvaro::jpeg::Image larger = decoded(render(desk, settings));
    EXPECT_NEAR(larger.width, 150, 4);
    EXPECT_NEAR(larger.height, 200, 4);
    ASSERT_EQ(applyImageOption(settings, image_option::AutoCrop{kAutoCropAllDocuments}), kOk);
    const lenvaro::jpeg::Image both = decoded(render(desk, settings));
    // Each sheet on its own, the one higher up first, on white: 150 wide, 200 + 8 + 60 high.
    EXPECT_NEAR(both.width, 150, 4);
    EXPECT_NEAR(both.height, 268, 6);
    EXPECT_TRUE(near(pixelAt(both, 140, 240), {255, 255, 255}, 10)) << "beside the smaller sheet";

    // Nothing on the desk: the whole picture is kept.
    const lenvaro::jpeg::Image empty =
        decoded(render(pictavo_test::solidFrame(200, 100, 40, 40, 40), settings));
    EXPECT_EQ(empty.width, 200);
    EXPECT_EQ(empty.height, 100);
}

TEST(CapturePipeline, FillBorderWhitensTheDeskAroundTheSheet) {
    Frame desk = pictavo_test::solidFrame(400, 300, 40, 50, 60);
    fillRect(desk, 100, 50, 200, 200, 230, 230, 220);
    fillRect(desk, 150, 100, 50, 50, 20, 20, 20);  // dark print on the sheet stays
    CaptureSettings settings;
    ASSERT_EQ(applyImageOption(settings, image_option::FillBorder{5}), kOk);
    const lenvaro::jpeg::Image image = decoded(render(desk, settings));
    EXPECT_TRUE(near(pixelAt(image, 10, 10), {255, 255, 255}, 10));
    EXPECT_TRUE(near(pixelAt(image, 390, 290), {255, 255, 255}, 10));
    EXPECT_TRUE(near(pixelAt(image, 120, 70), {230, 230, 220}, 12));
    EXPECT_TRUE(near(pixelAt(image, 170, 120), {20, 20, 20}, 12));
}

TEST(CapturePipeline, ColourStylesGiveColourGreyOrTwoLevels) {
    Frame frame = markedFrame();
    // A soft gradient below the marks, so black and white has something to decide.
    for (int x = 0; x < 320; ++x) {
        const auto v = static_cast<uint8_t>(x * 255 / 319);
        fillRect(frame, x, 100, 1, 40, v, v, v);
    }
    CaptureSettings settings;
    ASSERT_EQ(applyImageOption(settings, image_option::ColorStyle{kGrey}), kOk);
    std::vector<uint8_t> jpeg = render(frame, settings);
    EXPECT_EQ(infoOf(jpeg).components, 1);
    lenvaro::jpeg::Image grey = decoded(jpeg, true);
    EXPECT_NEAR(pixelAt(grey, 10, 10).r, 76, 12) << "red has the BT.601 brightness of red";

    // Dark strokes across the gradient, from where it is dark grey to where it is white.
    for (int x = 50; x < 320; x += 40) fillRect(frame, x, 110, 3, 20, 0, 0, 0);
    ASSERT_EQ(applyImageOption(settings, image_option::ColorStyle{kBlackAndWhite}), kOk);
    jpeg = render(frame, settings);
    EXPECT_EQ(infoOf(jpeg).components, 1);
    lenvaro::jpeg::Image bw = decoded(jpeg, true);
    size_t extreme = 0;
    for (uint8_t v : bw.pixels) extreme += v < 40 || v > 215;
    EXPECT_GT(extreme, bw.pixels.size() * 97 / 100) << "two levels, up to JPEG's ringing";
    // Judged against its surroundings, not one level for the picture: the strokes are black,
    // the gradient around them white, also where it is dark.
    for (int x = 51; x < 320; x += 40) EXPECT_LT(pixelAt(bw, x, 120).r, 60) << x;
    EXPECT_GT(pixelAt(bw, 25, 120).r, 195);
    EXPECT_GT(pixelAt(bw, 305, 120).r, 195);

    for (int bad : {-1, 3}) {
        EXPECT_EQ(applyImageOption(settings, image_option::ColorStyle{bad}), kInvalidArgument);
    }
    EXPECT_EQ(settings.colourStyle, kBlackAndWhite);
}

TEST(CapturePipeline, DpiGoesIntoTheJfifHeaderAndTurnsWithThePicture) {
    CaptureSettings settings;
    EXPECT_EQ(infoOf(render(markedFrame(), settings)).xDensity, 200) << "the default";
    ASSERT_EQ(applyImageOption(settings, image_option::Dpi{300, 150}), kOk);
    lenvaro::jpeg::Info info = infoOf(render(markedFrame(), settings));
    EXPECT_EQ(info.densityUnit, 1);
    EXPECT_EQ(info.xDensity, 300);
    EXPECT_EQ(info.yDensity, 150);
    ASSERT_EQ(applyImageOption(settings, image_option::Rotate{1}), kOk);
    info = infoOf(render(markedFrame(), settings));
    EXPECT_EQ(info.xDensity, 150);
    EXPECT_EQ(info.yDensity, 300);
    for (const auto& bad : {image_option::Dpi{0, 300}, image_option::Dpi{300, 65536},
                            image_option::Dpi{-300, -300}}) {
        EXPECT_EQ(applyImageOption(settings, bad), kInvalidArgument);
    }
}

TEST(CapturePipeline, QualityChangesTheEncodingWithinItsRange) {
    DocumentScene scene;
    Frame frame;
    scene.render(frame, {640, 480}, std::chrono::system_clock::now());
    CaptureSettings settings;
    ASSERT_EQ(applyImageOption(settings, image_option::JpegQuality{95}), kOk);
    const size_t fine = render(frame, settings).size();
    ASSERT_EQ(applyImageOption(settings, image_option::JpegQuality{10}), kOk);
    const size_t coarse = render(frame, settings).size();
    EXPECT_GT(fine, coarse * 2);
    for (int bad : {0, 101, -5}) {
        EXPECT_EQ(applyImageOption(settings, image_option::JpegQuality{bad}), kInvalidArgument);
    }
    EXPECT_EQ(settings.quality, 10);
}

TEST(CapturePipeline, AdjustmentsChangeThePictureAsNamed) {
    // A dull picture: levels between 100 and 150.
    Frame dull = pictavo_test::solidFrame(200, 100, 100, 100, 100);
    fillRect(dull, 100, 0, 100, 100, 150, 150, 150);
    CaptureSettings settings;
    ASSERT_EQ(applyImageOption(settings, image_option::Adjust{kAdjustAutoLevels}), kOk);
    lenvaro::jpeg::Image image = decoded(render(dull, settings));
    EXPECT_LT(pixelAt(image, 50, 50).r, 15);
    EXPECT_GT(pixelAt(image, 150, 50).r, 240);

    // A single bright dot: sharpening makes it brighter against its neighbours.
    Frame dot = pictavo_test::solidFrame(64, 64, 100, 100, 100);
    fillRect(dot, 30, 30, 4, 4, 160, 160, 160);
    ASSERT_EQ(applyImageOption(settings, image_option::Adjust{kAdjustSharpen}), kOk);
    ASSERT_EQ(applyImageOption(settings, image_option::JpegQuality{100}), kOk);
    image = decoded(render(dot, settings));
    EXPECT_GT(pixelAt(image, 30, 30).r, 200);
    EXPECT_EQ(applyImageOption(settings, image_option::Adjust{3}), kInvalidArgument);
}

TEST(CapturePipeline, WatermarkIsDrawnInItsColourAndPlace) {
    if (findFont("", false, false).file.empty()) GTEST_SKIP() << "no font installed";
    Frame white = pictavo_test::solidFrame(400, 300, 255, 255, 255);
    CaptureSettings settings;
    image_option::WaterMark mark{
        "HELLO", kWatermarkTopLeft, 20, "DejaVu Sans", false, false, 1, 0.f, 0.f, 200, 0, 0, true};
    ASSERT_EQ(applyImageOption(settings, mark), kOk);
    ASSERT_EQ(applyImageOption(settings, image_option::Dpi{72, 72}), kOk);  // 20 pt = 20 px
    lenvaro::jpeg::Image image = decoded(render(white, settings));
    auto reddish = [&](int x0, int y0, int x1, int y1) {
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const Rgb p = pixelAt(image, x, y);
                count += p.r > 150 && p.g < 100 && p.b < 100;
            }
        return count;
    };
    EXPECT_GT(reddish(0, 0, 200, 60), 100) << "text in the top left corner";
    EXPECT_EQ(reddish(0, 150, 400, 300), 0) << "and nowhere else";

    mark.type = kWatermarkBottomRight;
    mark.transparency = 1.f;  // invisible
    ASSERT_EQ(applyImageOption(settings, mark), kOk);
    image = decoded(render(white, settings));
    EXPECT_EQ(reddish(0, 0, 400, 300), 0);

    mark.transparency = 0.f;
    mark.angle = 90.f;
    ASSERT_EQ(applyImageOption(settings, mark), kOk);
    image = decoded(render(white, settings));
    EXPECT_GT(reddish(340, 150, 400, 300), 100) << "upright text along the right edge";

    mark.enabled = false;
    ASSERT_EQ(applyImageOption(settings, mark), kOk);
    image = decoded(render(white, settings));
    EXPECT_EQ(reddish(0, 0, 400, 300), 0);

    mark.enabled = true;
    for (auto change : {+[](image_option::WaterMark& m) { m.type = 5; },
                        +[](image_option::WaterMark& m) { m.fontSize = 0; },
                        +[](image_option::WaterMark& m) { m.transparency = 1.5f; },
                        +[](image_option::WaterMark& m) { m.r = 256; }}) {
        image_option::WaterMark bad = mark;
        change(bad);
        EXPECT_EQ(applyImageOption(settings, bad), kInvalidArgument);
    }
}

// Fonts are judged by what fontconfig reads in the chosen file (its family, weight and the
// characters it has), never by its file name: other fonts on the machine may hold the same
// characters in other files.
TEST(Watermark, FontsAreFoundByFamilyAndStyleOrDrawnInStyle) {
    const FontChoice plain = findFont("DejaVu Sans", false, false);
    if (plain.file.empty()) GTEST_SKIP() << "no font installed";
    const pictavo_test::FontFacts plainFacts = pictavo_test::fontFacts(plain.file);
    EXPECT_EQ(plainFacts.family, "DejaVu Sans") << plain.file;
    EXPECT_LT(plainFacts.weight, FC_WEIGHT_BOLD) << plain.file;
    EXPECT_EQ(plainFacts.slant, FC_SLANT_ROMAN) << plain.file;
    const FontChoice bold = findFont("dejavu-sans", true, false);
    const pictavo_test::FontFacts boldFacts = pictavo_test::fontFacts(bold.file);
    EXPECT_EQ(boldFacts.family, "DejaVu Sans") << bold.file;
    EXPECT_GE(boldFacts.weight, FC_WEIGHT_BOLD) << bold.file;
    EXPECT_FALSE(bold.syntheticBold);
    EXPECT_EQ(findFont("No Such Family", false, false).file, plain.file);
}

TEST(Watermark, TextInAnotherScriptFindsAFontThatHasIt) {
    const FontChoice latin = findFont("DejaVu Sans", false, false);
    if (latin.file.empty()) GTEST_SKIP() << "no font installed";
    EXPECT_EQ(findFontFor("DejaVu Sans", false, false, "Page 1").file, latin.file);
    const std::string chineseText = "\xE4\xB8\xAD\xE6\x96\x87";
    ASSERT_FALSE(pictavo_test::fontCovers(latin.file, chineseText)) << "the case needs another font";
    if (!pictavo_test::someInstalledFontCovers(chineseText))
        GTEST_SKIP() << "no installed font has Chinese characters (scripts/setup installs one)";
    const FontChoice chinese = findFontFor("DejaVu Sans", true, false, chineseText);
    EXPECT_TRUE(pictavo_test::fontCovers(chinese.file, chineseText)) << chinese.file;
    EXPECT_TRUE(chinese.syntheticBold);

    // And the characters are drawn, not left out.
    WatermarkSettings mark;
    mark.enabled = true;
    mark.text = chineseText;
    mark.fontFile = chinese.file;
    Raster white;
    white.width = 200;
    white.height = 100;
    white.data.assign(200 * 100 * 3, 255);
    ASSERT_TRUE(drawWatermark(white, mark, 40));
    size_t ink = 0;
    for (uint8_t v : white.data) ink += v < 128;
    EXPECT_GT(ink, 300u);
}

TEST(Watermark, TextIsDecodedAsUtf8OrByteForByte) {
    EXPECT_EQ(decodeText("A\xC3\xA9\xE4\xB8\xAD"), std::u32string({U'A', U'\u00E9', U'\u4E2D'}));
    // Not UTF-8 and not valid in the locale: one code point per byte rather than nothing.
    EXPECT_EQ(decodeText("\xE9t\xE9").size(), 3u);
}

TEST(CapturePipeline, BookPagesAreTheHalvesWithFingersPaintedOver) {
    Frame spread = pictavo_test::solidFrame(400, 200, 240, 240, 240);
    fillRect(spread, 0, 0, 200, 20, 255, 0, 0);         // a red band on the left page
    fillRect(spread, 200, 0, 200, 20, 0, 0, 255);       // a blue one on the right page
    fillRect(spread, 5, 100, 15, 30, 224, 172, 140);    // a thumb at the left edge
    fillRect(spread, 385, 100, 10, 30, 224, 172, 140);  // and one at the right edge
    CaptureSettings settings;
    std::vector<uint8_t> left, right;
    ASSERT_EQ(renderBookPages(spread, settings, false, left, right), kOk);
    lenvaro::jpeg::Image l = decoded(left), r = decoded(right);
    EXPECT_EQ(l.width, 200);
    EXPECT_EQ(r.width, 200);
    EXPECT_TRUE(near(pixelAt(l, 100, 10), kRed));
    EXPECT_TRUE(near(pixelAt(r, 100, 10), kBlue));
    EXPECT_TRUE(near(pixelAt(l, 10, 115), {224, 172, 140}, 20));

    ASSERT_EQ(renderBookPages(spread, settings, true, left, right), kOk);
    l = decoded(left);
    r = decoded(right);
    EXPECT_TRUE(near(pixelAt(l, 10, 115), {255, 255, 255}, 20));
    EXPECT_TRUE(near(pixelAt(r, 190, 115), {255, 255, 255}, 20));
    EXPECT_TRUE(near(pixelAt(l, 100, 10), kRed)) << "the page itself is left alone";
}

}  // namespace
