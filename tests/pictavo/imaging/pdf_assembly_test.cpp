// PDF documents from the list of added pictures, read back with poppler's tools: page count and
// sizes, how each picture was embedded, and what a page shows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../temp_dir.h"
#include "imaging_support.h"
#include "pictavo/imaging/bmp_codec.h"
#include "pictavo/imaging/document_tools.h"
#include "pictavo/imaging/pdf_document.h"
#include "pictavo/imaging/png_codec.h"
#include "pictavo/library.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using namespace pictavo_test;
using namespace imaging_test;
using Bytes = std::vector<uint8_t>;

// Pixels that JPEG cannot squeeze much, so quality shows in the size.
Picture noisyPicture(int width, int height) {
    Picture picture = solidPicture(width, height, kWhite);
    uint32_t state = 12345;
    for (uint8_t& value : picture.pixels) {
        state = state * 1103515245u + 12345u;
        value = static_cast<uint8_t>(state >> 16);
    }
    return picture;
}

Bytes jpegOf(const Picture& picture, int quality) {
    Bytes out;
    lenvaro::jpeg::EncodeOptions options;
    options.quality = quality;
    EXPECT_TRUE(lenvaro::jpeg::encode(picture.pixels.data(), picture.width, picture.height, 3,
                                      picture.rowBytes(), options, out));
    return out;
}

class PdfAssembly : public ::testing::Test {
  protected:
    std::string save(const std::string& name, const Bytes& bytes) {
        return dir_.write(name, asText(bytes));
    }
    void add(const std::string& name, const Bytes& bytes) {
        ASSERT_EQ(tools_.addToPdfList(save(name, bytes)), kOk) << name;
    }
    // The JPEG streams of the document exactly as stored (pdfimages -j), in page order.
    std::vector<Bytes> storedJpegs(const std::string& pdf) {
        const std::string prefix = dir_.file("extracted");
        run("pdfimages -j " + quoted(pdf) + " " + quoted(prefix));
        std::vector<Bytes> streams;
        for (int i = 0;; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "-%03d.jpg", i);
            if (!std::filesystem::exists(prefix + name)) break;
            streams.push_back(fileBytes(prefix + name));
        }
        return streams;
    }

    TempDir dir_;
    DocumentTools tools_;
};

TEST_F(PdfAssembly, OnePagePerPictureSizedByItsDensity) {
    add("a.jpg", solidJpeg(300, 150, kRed, 150));  // 2 x 1 inches
    add("b.jpg", solidJpeg(96, 192, kBlue));       // no density: 96 dpi, 1 x 2 inches
    add("c.jpg", solidJpeg(200, 100, kGreen, 72));
    const std::string pdf = dir_.file("doc.pdf");
    ASSERT_EQ(tools_.combinePdf(pdf, 0), kOk);

    EXPECT_EQ(pdfPageCount(pdf), 3);
    const std::vector<PointSize> sizes = pdfPageSizes(pdf);
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_NEAR(sizes[0].width, 144, 0.5);
    EXPECT_NEAR(sizes[0].height, 72, 0.5);
    EXPECT_NEAR(sizes[1].width, 72, 0.5);
    EXPECT_NEAR(sizes[1].height, 144, 0.5);
    EXPECT_NEAR(sizes[2].width, 200, 0.5);
    EXPECT_NEAR(sizes[2].height, 100, 0.5);

    const std::vector<PdfImage> images = pdfImages(pdf);
    ASSERT_EQ(images.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(images[static_cast<size_t>(i)].page, i + 1);
        EXPECT_EQ(images[static_cast<size_t>(i)].encoding, "jpeg");
    }
    EXPECT_EQ(images[0].width, 300);
    EXPECT_EQ(images[1].height, 192);
}

TEST_F(PdfAssembly, QualityOutsideOneToHundredKeepsJpegDataUnchanged) {
    const Bytes original = jpegOf(noisyPicture(64, 48), 80);
    for (int quality : {0, -1, 101}) {
        add("page.jpg", original);
        const std::string pdf = dir_.file("q" + std::to_string(quality) + ".pdf");
        ASSERT_EQ(tools_.combinePdf(pdf, quality), kOk);
        const std::vector<Bytes> stored = storedJpegs(pdf);
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0], original) << "quality " << quality;
    }
}

TEST_F(PdfAssembly, QualityOneToHundredReencodesEveryPage) {
    const Bytes original = jpegOf(noisyPicture(128, 96), 95);
    add("page.jpg", original);
    ASSERT_EQ(tools_.combinePdf(dir_.file("low.pdf"), 10), kOk);
    add("page.jpg", original);
    ASSERT_EQ(tools_.combinePdf(dir_.file("high.pdf"), 90), kOk);

    const std::vector<Bytes> low = storedJpegs(dir_.file("low.pdf"));
    const std::vector<Bytes> high = storedJpegs(dir_.file("high.pdf"));
    ASSERT_EQ(low.size(), 1u);
    ASSERT_EQ(high.size(), 1u);
    EXPECT_NE(low[0], original);
    EXPECT_LT(low[0].size(), high[0].size());
    Picture decoded;
    ASSERT_EQ(decodePicture(low[0], decoded), kOk);
    EXPECT_EQ(decoded.width, 128);
    EXPECT_EQ(decoded.height, 96);
}

TEST_F(PdfAssembly, PngAndBmpPagesLosslessOrAsJpeg) {
    // Top half red, bottom left blue, bottom right green.
    Picture quadrants = solidPicture(96, 96, kRed);
    for (int y = 48; y < 96; ++y) {
        for (int x = 0; x < 96; ++x) {
            const Rgb c = x < 48 ? kBlue : kGreen;
            std::copy(c.begin(), c.end(), quadrants.pixels.begin() + (y * 96 + x) * 3);
        }
    }
    Picture at192 = quadrants;
    at192.xDpi = at192.yDpi = 192;
    Bytes png;
    ASSERT_TRUE(encodePng(at192, png));
    add("a.png", png);
    add("b.bmp", encodeBmp(quadrants));  // no density
    const std::string lossless = dir_.file("lossless.pdf");
    ASSERT_EQ(tools_.combinePdf(lossless, 0), kOk);

    const std::vector<PointSize> sizes = pdfPageSizes(lossless);
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_NEAR(sizes[0].width, 36, 0.5);  // 96 px at 192 dpi
    EXPECT_NEAR(sizes[1].width, 72, 0.5);  // 96 px at the default 96 dpi
    const std::vector<PdfImage> images = pdfImages(lossless);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].encoding, "image");
    EXPECT_EQ(images[1].encoding, "image");

    // The bitmap's rows are stored bottom first; the page must still show red at the top.
    const Picture page = renderPage(lossless, 2, 96, dir_.file("render"));
    ASSERT_EQ(page.width, 96);
    EXPECT_EQ(pixelAt(page, 10, 10), kRed);
    EXPECT_EQ(pixelAt(page, 10, 80), kBlue);
    EXPECT_EQ(pixelAt(page, 80, 80), kGreen);

    add("a.png", png);
    add("b.bmp", encodeBmp(quadrants));
    const std::string asJpeg = dir_.file("jpeg.pdf");
    ASSERT_EQ(tools_.combinePdf(asJpeg, 80), kOk);
    const std::vector<PdfImage> jpegImages = pdfImages(asJpeg);
    ASSERT_EQ(jpegImages.size(), 2u);
    EXPECT_EQ(jpegImages[0].encoding, "jpeg");
    EXPECT_EQ(jpegImages[1].encoding, "jpeg");
    const Picture jpegPage = renderPage(asJpeg, 2, 96, dir_.file("render"));
    EXPECT_TRUE(near(pixelAt(jpegPage, 80, 80), kGreen));
}

TEST_F(PdfAssembly, PagesShowTheFileAsItWasWhenAdded) {
    // Pages often capture to the same path again and again before combining.
    const Bytes red = solidJpeg(32, 32, kRed);
    const Bytes blue = solidJpeg(32, 32, kBlue);
    add("scan.jpg", red);
    add("scan.jpg", blue);
    std::filesystem::remove(dir_.file("scan.jpg"));
    const std::string pdf = dir_.file("doc.pdf");
    ASSERT_EQ(tools_.combinePdf(pdf, 0), kOk);
    const std::vector<Bytes> stored = storedJpegs(pdf);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0], red);
    EXPECT_EQ(stored[1], blue);
}

TEST_F(PdfAssembly, EveryCombineEmptiesTheList) {
    add("a.jpg", solidJpeg(16, 16, kRed));
    add("b.jpg", solidJpeg(16, 16, kBlue));
    ASSERT_EQ(tools_.combinePdf(dir_.file("two.pdf"), 0), kOk);
    EXPECT_EQ(pdfPageCount(dir_.file("two.pdf")), 2);

    add("c.jpg", solidJpeg(16, 16, kGreen));
    ASSERT_EQ(tools_.combinePdf(dir_.file("one.pdf"), 0), kOk);
    EXPECT_EQ(pdfPageCount(dir_.file("one.pdf")), 1);

    EXPECT_EQ(tools_.combinePdf(dir_.file("none.pdf"), 0), kInvalidArgument) << "nothing listed";
    EXPECT_FALSE(std::filesystem::exists(dir_.file("none.pdf")));

    // A document that cannot be written still ends the list, so a stale page can never stick.
    add("d.jpg", solidJpeg(16, 16, kGreen));
    EXPECT_EQ(tools_.combinePdf(dir_.file("no/such/dir.pdf"), 0), kFileError);
    EXPECT_EQ(tools_.combinePdf(dir_.file("after.pdf"), 0), kInvalidArgument);
}

TEST_F(PdfAssembly, FailedWriteLeavesTheExistingDocument) {
    const std::string pdf = dir_.write("doc.pdf", "previous document");
    std::filesystem::create_directory(dir_.file("taken.pdf"));
    add("a.jpg", solidJpeg(16, 16, kRed));
    EXPECT_EQ(tools_.combinePdf(dir_.file("taken.pdf"), 0), kFileError);
    EXPECT_EQ(asText(fileBytes(pdf)), "previous document");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 3u) << "doc.pdf, taken.pdf, a.jpg: no half-written file left";
}

TEST_F(PdfAssembly, RefusedFilesStayOutOfTheList) {
    EXPECT_EQ(tools_.addToPdfList(""), kInvalidArgument);
    EXPECT_EQ(tools_.addToPdfList(dir_.file("missing.jpg")), kFileError);
    EXPECT_EQ(tools_.addToPdfList(dir_.path().string()), kFileError);
    EXPECT_EQ(tools_.addToPdfList(dir_.write("notes.txt", "not a picture")), kNotSupported);
    Bytes cut = solidJpeg(16, 16, kRed);
    cut.resize(12);
    EXPECT_EQ(tools_.addToPdfList(save("cut.jpg", cut)), kFileError);

    add("good.jpg", solidJpeg(16, 16, kRed));
    ASSERT_EQ(tools_.combinePdf(dir_.file("doc.pdf"), 0), kOk);
    EXPECT_EQ(pdfPageCount(dir_.file("doc.pdf")), 1);
}

TEST_F(PdfAssembly, ListIsBounded) {
    const std::string tiny = save("tiny.jpg", solidJpeg(8, 8, kRed));
    for (size_t i = 0; i < kMaxPdfPages; ++i) ASSERT_EQ(tools_.addToPdfList(tiny), kOk) << i;
    EXPECT_EQ(tools_.addToPdfList(tiny), kFailed);
}

TEST_F(PdfAssembly, AddsFromManyThreadsAllArrive) {
    const std::string page = save("page.jpg", solidJpeg(8, 8, kRed));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) EXPECT_EQ(tools_.addToPdfList(page), kOk);
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(tools_.combinePdf(dir_.file("doc.pdf"), 0), kOk);
    EXPECT_EQ(pdfPageCount(dir_.file("doc.pdf")), 100);
}

TEST_F(PdfAssembly, PagesStayWithinThePdfSizeLimits) {
    // 300 px at 1 dpi would be 300 inches wide; PDF pages end at 200 inches.
    add("wide.jpg", solidJpeg(300, 150, kRed, 1));
    ASSERT_EQ(tools_.combinePdf(dir_.file("doc.pdf"), 0), kOk);
    const std::vector<PointSize> sizes = pdfPageSizes(dir_.file("doc.pdf"));
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_NEAR(sizes[0].width, 14400, 1);
    EXPECT_NEAR(sizes[0].height, 7200, 1);

    const PageSize dot = pageSizeFor(1, 1, 0, 0);  // 0.75 points at 96 dpi
    EXPECT_DOUBLE_EQ(dot.width, 3);
    EXPECT_DOUBLE_EQ(dot.height, 3);
    const PageSize sliver = pageSizeFor(1, 30000, 72, 72);
    EXPECT_DOUBLE_EQ(sliver.width, 3);
    EXPECT_DOUBLE_EQ(sliver.height, 14400);
    const PageSize oneAxis = pageSizeFor(300, 300, 0, 300);
    EXPECT_DOUBLE_EQ(oneAxis.width, 72);
}

TEST(DocumentEngine, BuiltWithTheCameraFamily) {
    Config enabled;
    EXPECT_NE(dynamic_cast<DocumentTools*>(createEngines(enabled).imaging.get()), nullptr);
    Config disabled;
    disabled.document["families"]["camera"] = false;
    EXPECT_EQ(createEngines(disabled).imaging, nullptr);
}

}  // namespace
