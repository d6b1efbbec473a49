// Automatic crop, fill border and black-and-white on photos with known answers (pages, receipts
// and cards placed by a known homography on varied desks): every document found as its own
// outline, straightened without desk or skew and without cutting text; the desk whitened without
// touching the page; text in a shadow still read after black-and-white.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <fstream>
#include <cstdlib>
#include <set>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "../recognition/page_painter.h"
#include "../temp_dir.h"
#include "camera_test_support.h"
#include "common/jpeg_codec.h"
#include "document_photos.h"
#include "pictavo/camera/capture_pipeline.h"
#include "pictavo/camera/frame_generator.h"
#include "pictavo/camera/image_ops.h"
#include "pictavo/camera/watermark.h"
#include "pictavo/recognition/image_file.h"
#include "pictavo/recognition/text_recognizer.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using pictavo_test::DocumentPhoto;
using pictavo_test::PlacedDocument;

const cv::Size kPhotoSize(1600, 1200);

// The photos with one document each, made once for all the tests here.
const std::vector<DocumentPhoto>& singleDocumentPhotos() {
    static const std::vector<DocumentPhoto> photos = [] {
        std::vector<DocumentPhoto> made;
        for (const auto& spec : pictavo_test::singleDocumentPhotos(kPhotoSize))
            made.push_back(pictavo_test::makePhoto(spec));
        return made;
    }();
    return photos;
}

// The photos of one card each.
std::vector<DocumentPhoto> cardPhotos() {
    std::vector<DocumentPhoto> made;
    for (const auto& spec : pictavo_test::cardPhotos(kPhotoSize))
        made.push_back(pictavo_test::makePhoto(spec));
    return made;
}

Raster rasterOfPhoto(const DocumentPhoto& photo) {
    cv::Mat rgb;
    cv::cvtColor(photo.bgr, rgb, cv::COLOR_BGR2RGB);
    return rasterOf(rgb);
}

std::vector<cv::Point2f> points(const std::array<cv::Point2f, 4>& q) { return {q.begin(), q.end()}; }

double intersectionOverUnion(const std::array<cv::Point2f, 4>& a, const std::array<cv::Point2f, 4>& b) {
    std::vector<cv::Point2f> common;
    const double shared = cv::intersectConvexConvex(points(a), points(b), common, true);
    return shared / (cv::contourArea(points(a)) + cv::contourArea(points(b)) - shared);
}

// How a found outline straightens the true document: the overlap of the two, the largest angle
// by which a true side stays off the horizontal or vertical after straightening, and whether
// every line of text lands inside the straightened picture.
struct Judgement {
    double overlap = 0;
    double skewDegrees = 90;
    bool textKept = false;
};

Judgement judge(const DocumentOutline& found, const PlacedDocument& truth) {
    Judgement j;
    j.overlap = intersectionOverUnion(found.corners, truth.corners);
    const cv::Matx33d toOutput = found.toStraightened();
    std::vector<cv::Point2f> corners;
    cv::perspectiveTransform(points(truth.corners), corners, toOutput);
    j.skewDegrees = 0;
    for (size_t i = 0; i < 4; ++i) {
        const cv::Point2f side = corners[(i + 1) % 4] - corners[i];
        const double angle = std::abs(std::atan2(side.y, side.x)) * 180 / CV_PI;
        const double offAxis = std::fmod(angle, 90.0);
        j.skewDegrees = std::max(j.skewDegrees, std::min(offAxis, 90 - offAxis));
    }
    j.textKept = true;
    const cv::Matx33d documentToOutput = toOutput * truth.toPhoto;
    for (const cv::Rect& line : truth.text) {
        std::vector<cv::Point2f> box = {cv::Point2f(line.tl()), {float(line.br().x), float(line.y)},
                                        cv::Point2f(line.br()), {float(line.x), float(line.br().y)}};
        std::vector<cv::Point2f> out;
        cv::perspectiveTransform(box, out, documentToOutput);
        for (const cv::Point2f& p : out)
            j.textKept = j.textKept && p.x >= -0.5f && p.y >= -0.5f &&
                         p.x <= found.size.width + 0.5f && p.y <= found.size.height + 0.5f;
    }
    return j;
}

// The found outline that best matches `truth`.
const DocumentOutline* matching(const std::vector<DocumentOutline>& found, const PlacedDocument& truth) {
    const DocumentOutline* best = nullptr;
    double bestOverlap = 0;
    for (const DocumentOutline& f : found) {
        const double overlap = intersectionOverUnion(f.corners, truth.corners);
        if (overlap > bestOverlap) {
            bestOverlap = overlap;
            best = &f;
        }
    }
    return best;
}

// Type 1 takes the largest outline: it must be the document, straight, whole, at its own aspect
// ratio (within `aspectTolerance`).
void expectTheDocumentFound(const DocumentPhoto& photo, double aspectTolerance) {
    SCOPED_TRACE(photo.name);
    const std::vector<DocumentOutline> found = findDocuments(rasterOfPhoto(photo));
    ASSERT_FALSE(found.empty());
    const Judgement j = judge(found.front(), photo.documents.front());
    EXPECT_GE(j.overlap, 0.95);
    EXPECT_LE(j.skewDegrees, 1.0);
    EXPECT_TRUE(j.textKept);
    const PlacedDocument& truth = photo.documents.front();
    const double aspect = static_cast<double>(found.front().size.width) / found.front().size.height;
    const double trueAspect = static_cast<double>(truth.size.width) / truth.size.height;
    EXPECT_NEAR(aspect / trueAspect, 1.0, aspectTolerance);
}

TEST(AutomaticCrop, EveryPhotoGivesItsDocumentStraightWithoutDeskOrLostText) {
    for (const DocumentPhoto& photo : singleDocumentPhotos()) expectTheDocumentFound(photo, 0.04);
}

// Cards whole, never a box printed on them nor the card without its dark band or photo, on pale,
// white, coloured, wooden, patterned and dark desks, with faint edges and soft shadows.
TEST(AutomaticCrop, EveryCardIsFoundWholeAndStraight) {
    for (const DocumentPhoto& photo : cardPhotos()) expectTheDocumentFound(photo, 0.08);
}

// A desk with nothing on it gives no document: neither its pattern, its grain nor a shadow across
// it passes for a card.
TEST(AutomaticCrop, AnEmptyDeskGivesNoDocument) {
    using pictavo_test::Surface;
    for (const Surface surface : {Surface::kWhite, Surface::kPaleGrey, Surface::kWalnut, Surface::kCloth,
                                  Surface::kPlaid, Surface::kGranite, Surface::kBlue}) {
        pictavo_test::PhotoSpec spec;
        spec.size = kPhotoSize;
        spec.surface = surface;
        spec.shadow = true;
        spec.lightFalloff = 0.2f;
        const DocumentPhoto photo = pictavo_test::makePhoto(spec);
        const std::vector<DocumentOutline> found = findDocuments(rasterOfPhoto(photo));
        EXPECT_TRUE(found.empty()) << "surface " << static_cast<int>(surface) << ": " << found.size();
    }
}

// Straightening works in tiles, each by an affine map: the page is the one the outline's exact
// perspective map gives, but for a few levels on sharp edges (moved by a fifth of a pixel at
// most).
TEST(AutomaticCrop, StraighteningInTilesGivesThePerspectiveWarp) {
    const DocumentPhoto& photo = singleDocumentPhotos()[6];  // in perspective
    const Raster raster = rasterOfPhoto(photo);
    const std::vector<DocumentOutline> found = findDocuments(raster);
    ASSERT_FALSE(found.empty());
    const Raster tiled = straighten(raster, found.front());
    cv::Mat exact;
    cv::warpPerspective(raster.mat(), exact, found.front().toStraightened(), found.front().size,
                        cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    ASSERT_EQ(tiled.mat().size(), exact.size());
    cv::Mat difference;
    cv::absdiff(tiled.mat(), exact, difference);
    EXPECT_LT(cv::mean(difference)[0], 0.3);
    EXPECT_LE(cv::norm(difference, cv::NORM_INF), 48);
}

TEST(AutomaticCrop, TypeTwoStraightensEveryDocumentOneBelowTheOther) {
    for (const pictavo_test::PhotoSpec& spec : pictavo_test::twoDocumentPhotos(kPhotoSize)) {
        SCOPED_TRACE(spec.name);
        const DocumentPhoto photo = pictavo_test::makePhoto(spec);
        const std::vector<DocumentOutline> found = findDocuments(rasterOfPhoto(photo));
        ASSERT_EQ(found.size(), photo.documents.size());
        int height = 0, width = 0;
        for (const PlacedDocument& truth : photo.documents) {
            const DocumentOutline* outline = matching(found, truth);
            ASSERT_NE(outline, nullptr);
            const Judgement j = judge(*outline, truth);
            EXPECT_GE(j.overlap, 0.95);
            EXPECT_LE(j.skewDegrees, 1.0);
            EXPECT_TRUE(j.textKept);
            height += outline->size.height;
            width = std::max(width, outline->size.width);
        }
        // Through the capture pipeline: both documents, stacked.
        CaptureSettings settings;
        ASSERT_EQ(applyImageOption(settings, image_option::AutoCrop{kAutoCropAllDocuments}), kOk);
        std::vector<uint8_t> jpeg;
        ASSERT_EQ(renderCapture(pictavo_test::frameOf(photo.bgr), settings, jpeg), kOk);
        lenvaro::jpeg::Info info;
        ASSERT_TRUE(lenvaro::jpeg::readInfo(jpeg.data(), jpeg.size(), info));
        EXPECT_EQ(info.width, width);
        EXPECT_GT(info.height, height);
        EXPECT_LT(info.height, height + width / 10);
    }
}

// A capture finds and cuts out documents in the camera's frame as it lies (bottom row first,
// B,G,R): the outlines and pages are those of the same picture as an upright R,G,B raster.
TEST(AutomaticCrop, AFrameAsItLiesGivesTheOutlinesAndPagesOfItsUprightPicture) {
    for (size_t index : {0u, 2u}) {
        const DocumentPhoto& photo = singleDocumentPhotos()[index];
        SCOPED_TRACE(photo.name);
        // An odd height, so the rows the search leaves out are not the same in memory.
        const cv::Mat bgr = photo.bgr(cv::Rect(0, 0, photo.bgr.cols, photo.bgr.rows - 7)).clone();
        const Frame frame = pictavo_test::frameOf(bgr);
        cv::Mat rgb;
        cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
        const Raster raster = rasterOf(rgb);
        const std::vector<DocumentOutline> fromRaster = findDocuments(raster);
        const std::vector<DocumentOutline> fromFrame = findDocuments(viewOf(frame));
        ASSERT_EQ(fromFrame.size(), fromRaster.size());
        ASSERT_FALSE(fromRaster.empty());
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_NEAR(fromFrame[0].corners[i].x, fromRaster[0].corners[i].x, 0.5);
            EXPECT_NEAR(fromFrame[0].corners[i].y, fromRaster[0].corners[i].y, 0.5);
        }
        // One outline cut out of both: the same page, but for rounding (sampling positions a
        // thirty-second of a pixel apart move a sharp edge's pixel by a few levels).
        const Raster a = straighten(raster, fromRaster[0]);
        const Raster b = straighten(viewOf(frame), fromRaster[0]);
        ASSERT_EQ(a.mat().size(), b.mat().size());
        cv::Mat difference;
        cv::absdiff(a.mat(), b.mat(), difference);
        EXPECT_LE(cv::norm(difference, cv::NORM_INF), 16);
        EXPECT_LT(cv::mean(difference)[0], 0.1);
    }
}

// The capture is the straightened document itself, colours and all (a capture straightens in
// the frame's own channel order while it encodes; turned round, the page would differ).
TEST(AutomaticCrop, CaptureOfTypeOneIsTheStraightenedDocument) {
    std::vector<DocumentPhoto> photos = {singleDocumentPhotos()[2]};  // 15 degrees on plaid
    for (const auto& spec : pictavo_test::cardPhotos(kPhotoSize))
        if (spec.name == "bank card on a dark desk turned 20 degrees") photos.push_back(pictavo_test::makePhoto(spec));
    ASSERT_EQ(photos.size(), 2u);
    for (const DocumentPhoto& photo : photos) {
        SCOPED_TRACE(photo.name);
        CaptureSettings settings;
        ASSERT_EQ(applyImageOption(settings, image_option::AutoCrop{kAutoCropDocument}), kOk);
        const Frame frame = pictavo_test::frameOf(photo.bgr);
        std::vector<uint8_t> jpeg;
        ASSERT_EQ(renderCapture(frame, settings, jpeg), kOk);
        lenvaro::jpeg::Image image;
        ASSERT_TRUE(lenvaro::jpeg::decode(jpeg.data(), jpeg.size(), image));
        const PlacedDocument& truth = photo.documents.front();
        EXPECT_NEAR(image.width, truth.size.width, truth.size.width * 0.03);
        EXPECT_NEAR(image.height, truth.size.height, truth.size.height * 0.03);

        const std::vector<DocumentOutline> found = findDocuments(viewOf(frame));
        ASSERT_FALSE(found.empty());
        const Raster straightened = straighten(viewOf(frame), found.front());
        ASSERT_EQ(straightened.width, image.width);
        ASSERT_EQ(straightened.height, image.height);
        cv::Mat difference;
        cv::absdiff(straightened.mat(),
                    cv::Mat(image.height, image.width, CV_8UC3, image.pixels.data()), difference);
        const cv::Scalar mean = cv::mean(difference);
        for (int c = 0; c < 3; ++c) EXPECT_LT(mean[c], 3) << "channel " << c;
    }
}

TEST(FillBorder, WhitensTheDeskAndLeavesEveryPixelOfThePage) {
    for (const DocumentPhoto& photo : singleDocumentPhotos()) {
        SCOPED_TRACE(photo.name);
        const Raster before = rasterOfPhoto(photo);
        Raster after = before;
        whitenBackground(after, findDocuments(before));
        // The page, up to a pixel inside its true outline, is untouched (shadowed corners too).
        const PlacedDocument& truth = photo.documents.front();
        cv::Mat page = cv::Mat::zeros(kPhotoSize, CV_8U);
        std::vector<cv::Point> corners;
        for (const cv::Point2f& p : truth.corners) corners.emplace_back(cvRound(p.x), cvRound(p.y));
        cv::fillConvexPoly(page, corners, cv::Scalar(255));
        cv::erode(page, page, cv::Mat(), cv::Point(-1, -1), 1);
        cv::Mat changed;
        cv::compare(before.mat(), after.mat(), changed, cv::CMP_NE);
        cv::cvtColor(changed, changed, cv::COLOR_RGB2GRAY);
        EXPECT_EQ(cv::countNonZero(changed & page), 0);
        // The desk, a few pixels beyond the page, is white.
        cv::Mat desk;
        cv::dilate(page, desk, cv::Mat(), cv::Point(-1, -1), 8);
        desk = desk == 0;
        cv::Mat white;
        cv::inRange(after.mat(), cv::Scalar::all(255), cv::Scalar::all(255), white);
        EXPECT_EQ(cv::countNonZero(desk & ~white), 0);
    }
    // Nothing found: nothing painted.
    Raster empty = rasterOf(cv::Mat(100, 100, CV_8UC3, cv::Scalar(40, 40, 40)));
    whitenBackground(empty, findDocuments(empty));
    EXPECT_EQ(cv::countNonZero(empty.mat().reshape(1) != 40), 0);
}

// The words OCR reads in a capture (lower case, three letters and more).
std::set<std::string> wordsRead(TextRecognizer& recognizer, const std::vector<uint8_t>& jpeg) {
    lenvaro::jpeg::Image image;
    EXPECT_TRUE(lenvaro::jpeg::decode(jpeg.data(), jpeg.size(), image, nullptr, true));
    GrayImage grey = image.components == 1 ? GrayImage{image.width, image.height, image.pixels}
                                           : grayFromRgb(image.width, image.height, image.pixels);
    std::string text;
    EXPECT_EQ(recognizer.readPage(pixFromGray(grey).get(), "eng", text), kOk);
    std::set<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        std::string letters;
        for (char c : word)
            if (std::isalpha(static_cast<unsigned char>(c)))
                letters += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (letters.size() >= 3) words.insert(letters);
    }
    return words;
}

TEST(BlackAndWhite, KeepsTheWordsOcrReadsInColourAlsoInShadow) {
    const std::string sample = "Quarterly account statement";
    const FontChoice font = findFontFor("DejaVu Sans", false, false, sample);
    if (font.file.empty()) GTEST_SKIP() << "no font that draws Latin letters is installed";
    const std::string tessdata = findTessdata("", std::getenv("TESSDATA_PREFIX"));
    if (tessdata.empty()) GTEST_SKIP() << "no Tesseract data installed";
    TextRecognizer recognizer(tessdata);
    if (!recognizer.hasLanguage("eng")) GTEST_SKIP() << "no English Tesseract data";

    // A page of words, the right half under a deepening shadow, with sensor noise.
    pictavo_test::TextPainter painter(font.file);
    ASSERT_TRUE(painter.loaded());
    GrayImage page = pictavo_test::blankPage(1400, 700);
    const char* lines[] = {"Quarterly account statement for the branch office",
                           "Payment received with thanks from the holder",
                           "Balance carried forward to the next period",
                           "Signed copy kept on record at the service desk"};
    int baseline = 120;
    for (const char* line : lines) {
        painter.draw(page, 60, baseline, 34, line);
        baseline += 140;
    }
    cv::Mat grey(page.height, page.width, CV_8U, page.pixels.data());
    cv::Mat shaded;
    grey.convertTo(shaded, CV_32F);
    for (int x = 0; x < page.width; ++x) {
        const float light = x < 700 ? 1.f : 1.f - 0.6f * static_cast<float>(x - 700) / 700.f;
        shaded.col(x) *= light;
    }
    cv::Mat noise(shaded.size(), CV_32F);
    cv::randn(noise, 0, 3);
    shaded += noise;
    cv::Mat photo8, bgr;
    shaded.convertTo(photo8, CV_8U);
    cv::cvtColor(photo8, bgr, cv::COLOR_GRAY2BGR);
    const Frame frame = pictavo_test::frameOf(bgr);

    std::vector<uint8_t> colour, blackAndWhite;
    CaptureSettings settings;
    ASSERT_EQ(renderCapture(frame, settings, colour), kOk);
    ASSERT_EQ(applyImageOption(settings, image_option::ColorStyle{kBlackAndWhite}), kOk);
    ASSERT_EQ(renderCapture(frame, settings, blackAndWhite), kOk);
    const std::set<std::string> fromColour = wordsRead(recognizer, colour);
    const std::set<std::string> fromBlackAndWhite = wordsRead(recognizer, blackAndWhite);
    // The shadowed half is read in colour, so the comparison covers it.
    ASSERT_TRUE(fromColour.count("forward") && fromColour.count("desk")) << "colour OCR failed";
    for (const std::string& word : fromColour)
        EXPECT_TRUE(fromBlackAndWhite.count(word)) << "lost in black and white: " << word;

    // Two levels, and blank paper white even in the shadow.
    lenvaro::jpeg::Image bw;
    ASSERT_TRUE(lenvaro::jpeg::decode(blackAndWhite.data(), blackAndWhite.size(), bw, nullptr, true));
    ASSERT_EQ(bw.components, 1);
    size_t extreme = 0;
    for (uint8_t v : bw.pixels) extreme += v < 40 || v > 215;
    EXPECT_GT(extreme, bw.pixels.size() * 97 / 100);
    EXPECT_GT(bw.pixels[static_cast<size_t>(690) * 1400 + 1380], 215) << "shadowed paper";
}

TEST(Denoise, TakesTheGrainOutAndKeepsEdges) {
    // Grey paper with sensor grain and a sharp dark stroke down the middle.
    cv::Mat picture(200, 200, CV_8UC3, cv::Scalar(200, 200, 200));
    picture.colRange(95, 105).setTo(cv::Scalar(30, 30, 30));
    cv::Mat noise(picture.size(), CV_16SC3);
    cv::randn(noise, 0, 6);
    cv::Mat noisy;
    picture.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(picture, CV_8UC3);
    Raster raster = rasterOf(picture);
    denoise(raster);
    const auto spread = [](const cv::Mat& m) {
        cv::Scalar mean, deviation;
        cv::meanStdDev(m.reshape(1), mean, deviation);
        return deviation[0];
    };
    const cv::Rect paper(10, 10, 60, 180);
    EXPECT_LT(spread(raster.mat()(paper)), spread(picture(paper)) * 0.6) << "grain reduced";
    // The stroke's edge stays a step: one pixel outside it is paper, one inside is ink.
    for (int y : {50, 100, 150}) {
        EXPECT_GT(raster.mat().at<cv::Vec3b>(y, 93)[0], 170);
        EXPECT_LT(raster.mat().at<cv::Vec3b>(y, 96)[0], 60);
    }
}

TEST(SimulatedCamera, ShowsAPhotoExactlyAsItIs) {
    // A photo of the frame's own size comes out pixel for pixel, at any time: no clock or mark
    // is drawn over it, so the pipeline sees the photo.
    const DocumentPhoto photo =
        pictavo_test::makePhoto(pictavo_test::singleDocumentPhotos(cv::Size(640, 480))[5]);
    pictavo_test::TempDir dir;
    const std::string path = dir.file("desk.jpg");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(photo.jpeg.data()), static_cast<long>(photo.jpeg.size()));
    }
    std::vector<std::string> problems;
    ImageScene scene({path}, problems);
    ASSERT_EQ(scene.pages(), 1u);
    const Frame expected = pictavo_test::frameOf(photo.bgr);
    Frame frame;
    const auto now = std::chrono::system_clock::now();
    for (auto at : {now, now + std::chrono::milliseconds(1234), now + std::chrono::hours(5)}) {
        scene.render(frame, {photo.bgr.cols, photo.bgr.rows}, at);
        ASSERT_EQ(frame.pixels.size(), expected.pixels.size());
        EXPECT_TRUE(frame.pixels == expected.pixels);
    }
    // Smaller frames hold the whole photo, fitted.
    scene.render(frame, {800, 480}, now);
    EXPECT_EQ(frame.width, 800);
    const uint8_t* centre = frame.row(240) + 3 * 400;
    EXPECT_GT(centre[0] + centre[1] + centre[2], 0);
}

}  // namespace
