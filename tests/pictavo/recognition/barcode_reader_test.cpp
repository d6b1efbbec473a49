// The barcode engine on images drawn by ZXing-cpp's writer: every format read back exactly,
// several codes per image, code type filters, rectangles, unreadable files, and the rule that
// names captures after their barcode.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <thread>

#include "../temp_dir.h"
#include "page_painter.h"
#include "pictavo/recognition/barcode_file_name.h"
#include "pictavo/recognition/zxing_barcode_reader.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

using pictavo_test::blankPage;
using pictavo_test::drawBarcode;
using pictavo_test::TempDir;
using pictavo_test::writeImage;
using ZXing::BarcodeFormat;

struct Sample {
    BarcodeFormat format;
    const char* name;
    int code;
    const char* content;
    bool linear;
    const char* read = nullptr;  // what comes back, when not `content`
};

// Contents each format accepts; check digits included where the format has one.
const Sample kSamples[] = {
    {BarcodeFormat::QRCode, "QR", 1, "https://example.test/visit?id=42&lang=en", false},
    {BarcodeFormat::EAN13, "EAN13", 2, "5901234123457", true},
    {BarcodeFormat::EAN8, "EAN8", 3, "96385074", true},
    {BarcodeFormat::UPCA, "UPCA", 4, "036000291452", true},
    {BarcodeFormat::UPCE, "UPCE", 5, "01234565", true},
    {BarcodeFormat::Code128, "CODE128", 6, "LV-2024/0815 ok", true},
    {BarcodeFormat::Code39, "CODE39", 7, "PART-42 X", true},
    {BarcodeFormat::Code93, "CODE93", 8, "CODE93 TEST", true},
    // Codabar's start and stop characters frame the data and are not part of it.
    {BarcodeFormat::Codabar, "CODABAR", 9, "A40156B", true, "40156"},
    {BarcodeFormat::ITF, "ITF", 10, "00012345678905", true},
    {BarcodeFormat::DataMatrix, "DATAMATRIX", 11, "Lot 7/2024: 1200 pcs", false},
    {BarcodeFormat::PDF417, "PDF417", 12, "PDF417 sample with several words", false},
    {BarcodeFormat::Aztec, "AZTEC", 13, "Aztec 0123456789", false},
};

// A page with one code of `sample` on it, written to `path`.
void writeSample(const Sample& sample, const std::string& path) {
    GrayImage page = blankPage(900, 500);
    ASSERT_TRUE(drawBarcode(page, 60, 60, sample.format, sample.content, sample.linear ? 700 : 300,
                            sample.linear ? 200 : 300))
        << sample.name;
    ASSERT_TRUE(writeImage(page, path));
}

// QR code on the left, Code 128 on the right.
std::string writeTwoCodes(const TempDir& dir, const std::string& name = "two.png") {
    GrayImage page = blankPage(1400, 500);
    drawBarcode(page, 50, 60, BarcodeFormat::QRCode, "LEFT-QR", 300, 300);
    drawBarcode(page, 600, 120, BarcodeFormat::Code128, "RIGHT-128", 700, 180);
    const std::string path = dir.file(name);
    writeImage(page, path);
    return path;
}

TEST(BarcodeReader, ReadsBackEveryFormatExactly) {
    TempDir dir;
    ZxingBarcodeReader reader;
    for (const Sample& sample : kSamples) {
        SCOPED_TRACE(sample.name);
        const std::string path = dir.file(std::string(sample.name) + ".png");
        writeSample(sample, path);
        std::vector<BarcodeResult> results;
        ASSERT_EQ(reader.recognize(path, results), kOk);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_STREQ(results[0].text1, sample.name);
        const std::string expected = sample.read ? sample.read : sample.content;
        EXPECT_EQ(results[0].text2, expected);
        EXPECT_EQ(results[0].value3, sample.code);

        // The same code selected by its own number, and not by another format's.
        int count = -1;
        ASSERT_EQ(reader.recognizeToList(path, sample.code, std::nullopt, count), kOk);
        EXPECT_EQ(count, 1);
        std::string text;
        ASSERT_EQ(reader.listedText(0, text), kOk);
        EXPECT_EQ(text, expected);
        const int other = sample.code == 1 ? 11 : 1;
        ASSERT_EQ(reader.recognizeToList(path, other, std::nullopt, count), kOk);
        EXPECT_EQ(count, 0);
    }
}

TEST(BarcodeReader, FindsTwoCodesInReadingOrderWithTheirCorners) {
    TempDir dir;
    ZxingBarcodeReader reader;
    std::vector<BarcodeResult> results;
    ASSERT_EQ(reader.recognize(writeTwoCodes(dir), results), kOk);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_STREQ(results[0].text1, "QR");
    EXPECT_STREQ(results[0].text2, "LEFT-QR");
    EXPECT_STREQ(results[1].text1, "CODE128");
    EXPECT_STREQ(results[1].text2, "RIGHT-128");
    // The QR code's corners lie where it was drawn.
    for (int i = 0; i < 4; ++i) {
        EXPECT_GE(results[0].values1[i], 40);
        EXPECT_LE(results[0].values1[i], 360);
        EXPECT_GE(results[0].values2[i], 50);
        EXPECT_LE(results[0].values2[i], 370);
    }
}

// A linear code on a page of A4 at 300 dpi once made the decoder abort the process.
TEST(BarcodeReader, ReadsCodesOnAFullPage) {
    TempDir dir;
    GrayImage page = blankPage(2480, 3508);
    ASSERT_TRUE(drawBarcode(page, 200, 200, BarcodeFormat::Code128, "A4-300DPI-2024", 900, 200));
    ASSERT_TRUE(drawBarcode(page, 1900, 150, BarcodeFormat::QRCode, "PAGE-1", 400, 400));
    ASSERT_TRUE(writeImage(page, dir.file("page.png")));
    ZxingBarcodeReader reader;
    std::vector<BarcodeResult> results;
    ASSERT_EQ(reader.recognize(dir.file("page.png"), results), kOk);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_STREQ(results[0].text2, "PAGE-1");
    EXPECT_STREQ(results[1].text2, "A4-300DPI-2024");
}

TEST(BarcodeReader, CallersOnSeveralThreadsEachGetTheirOwnCodes) {
    TempDir dir;
    ZxingBarcodeReader reader;
    const auto work = [&](const std::string& content) {
        GrayImage page = blankPage(500, 400);
        drawBarcode(page, 80, 40, BarcodeFormat::QRCode, content, 300, 300);
        const std::string path = dir.file(content + ".png");
        writeImage(page, path);
        for (int round = 0; round < 4; ++round) {
            std::vector<BarcodeResult> results;
            ASSERT_EQ(reader.recognize(path, results), kOk);
            ASSERT_EQ(results.size(), 1u);
            EXPECT_STREQ(results[0].text2, content.c_str());
        }
    };
    std::thread first(work, "FIRST");
    std::thread second(work, "SECOND");
    first.join();
    second.join();
}

TEST(BarcodeReader, ReadsJpegFilesToo) {
    TempDir dir;
    GrayImage page = blankPage(600, 400);
    drawBarcode(page, 100, 50, BarcodeFormat::QRCode, "JPEG 1", 280, 280);
    ASSERT_TRUE(writeImage(page, dir.file("code.jpg")));
    ZxingBarcodeReader reader;
    int count = 0;
    ASSERT_EQ(reader.recognizeToList(dir.file("code.jpg"), 0, std::nullopt, count), kOk);
    EXPECT_EQ(count, 1);
}

TEST(BarcodeReader, CodeTypeZeroFindsAnyFormatAndUnknownTypesAreRefused) {
    TempDir dir;
    const std::string path = writeTwoCodes(dir);
    ZxingBarcodeReader reader;
    int count = -1;
    ASSERT_EQ(reader.recognizeToList(path, 0, std::nullopt, count), kOk);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(reader.recognizeToList(path, 6, std::nullopt, count), kOk);
    ASSERT_EQ(count, 1);
    std::string text;
    ASSERT_EQ(reader.listedText(0, text), kOk);
    EXPECT_EQ(text, "RIGHT-128");
    for (int unknown : {-1, 18, 99}) {
        count = 7;
        EXPECT_EQ(reader.recognizeToList(path, unknown, std::nullopt, count), kInvalidArgument);
        EXPECT_EQ(count, 0);
    }
    // A refused call empties the kept list too.
    EXPECT_EQ(reader.listedText(0, text), kInvalidArgument);
}

TEST(BarcodeReader, RectanglesCropBeforeDecoding) {
    TempDir dir;
    const std::string path = writeTwoCodes(dir);
    ZxingBarcodeReader reader;
    int count = 0;
    std::string text;
    ASSERT_EQ(reader.recognizeToList(path, 0, Area{560, 0, 1400, 500}, count), kOk);
    ASSERT_EQ(count, 1);
    ASSERT_EQ(reader.listedText(0, text), kOk);
    EXPECT_EQ(text, "RIGHT-128");
    // Reaching past the image is clipped to it.
    ASSERT_EQ(reader.recognizeToList(path, 0, Area{-100, -100, 450, 9000}, count), kOk);
    ASSERT_EQ(count, 1);
    ASSERT_EQ(reader.listedText(0, text), kOk);
    EXPECT_EQ(text, "LEFT-QR");
    EXPECT_EQ(reader.listedText(1, text), kInvalidArgument);
    EXPECT_EQ(reader.listedText(-1, text), kInvalidArgument);
    // Nothing of the image inside: refused.
    for (const Area& empty : {Area{1500, 0, 1600, 100}, Area{300, 300, 100, 100}, Area{}}) {
        EXPECT_EQ(reader.recognizeToList(path, 0, empty, count), kInvalidArgument);
        EXPECT_EQ(count, 0);
    }
}

TEST(BarcodeReader, ImagesWithoutCodesGiveNone) {
    TempDir dir;
    ASSERT_TRUE(writeImage(blankPage(300, 200), dir.file("blank.png")));
    ZxingBarcodeReader reader;
    std::vector<BarcodeResult> results(3);
    EXPECT_EQ(reader.recognize(dir.file("blank.png"), results), kOk);
    EXPECT_TRUE(results.empty());
}

TEST(BarcodeReader, FilesThatAreNotImagesAreFileErrors) {
    TempDir dir;
    const std::string garbage = dir.write("garbage.png", "\x89PNG but not really an image");
    const std::string text = dir.write("notes.txt", "hello");
    ZxingBarcodeReader reader;
    std::vector<BarcodeResult> results;
    int count = 5;
    for (const std::string& path : {dir.file("missing.png"), dir.path().string(), garbage, text}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(reader.recognize(path, results), kFileError);
        EXPECT_EQ(reader.recognizeToList(path, 0, std::nullopt, count), kFileError);
        EXPECT_EQ(count, 0);
    }
}

TEST(BarcodeReader, RefusesImagesTooLargeToDecodeSafely) {
    // A valid PNG header that claims 100000 x 100000 pixels; the pixels never follow.
    TempDir dir;
    const unsigned char header[] = {0x89, 'P',  'N', 'G', '\r', '\n', 0x1a, '\n', 0,    0, 0,
                                    13,   'I',  'H', 'D', 'R',  0,    1,    0x86, 0xA0, 0, 1,
                                    0x86, 0xA0, 8,   0,   0,    0,    0,    0,    0,    0, 0};
    const std::string path =
        dir.write("huge.png", std::string(reinterpret_cast<const char*>(header), sizeof header));
    ZxingBarcodeReader reader;
    std::vector<BarcodeResult> results;
    EXPECT_EQ(reader.recognize(path, results), kFileError);
}

TEST(BarcodeReader, TextsBeyondTheRecordFieldsAreCutOnCharacterBoundaries) {
    TempDir dir;
    // 600 three-byte characters: 1800 bytes, more than the 1023 of the record's text field.
    std::string content;
    for (int i = 0; i < 600; ++i) content += "码";
    GrayImage page = blankPage(900, 900);
    ASSERT_TRUE(drawBarcode(page, 50, 50, BarcodeFormat::QRCode, content, 800, 800));
    ASSERT_TRUE(writeImage(page, dir.file("long.png")));
    ZxingBarcodeReader reader;
    std::vector<BarcodeResult> results;
    ASSERT_EQ(reader.recognize(dir.file("long.png"), results), kOk);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(std::string(results[0].text2), content.substr(0, 1023 - 1023 % 3));
    int count = 0;
    ASSERT_EQ(reader.recognizeToList(dir.file("long.png"), 1, std::nullopt, count), kOk);
    std::string text;
    ASSERT_EQ(reader.listedText(0, text), kOk);
    EXPECT_EQ(text, content);
}

// ---- Naming captures after their barcode ----

TEST(BarcodeFileName, UnsafeCharactersBecomeUnderscoresAndEdgesAreTrimmed) {
    EXPECT_EQ(fileNameFromBarcode("INV-2024-001"), "INV-2024-001");
    EXPECT_EQ(fileNameFromBarcode("a/b\\c:d*e?f\"g<h>i|j"), "a_b_c_d_e_f_g_h_i_j");
    EXPECT_EQ(fileNameFromBarcode("line\nbreak\ttab"), "line_break_tab");
    EXPECT_EQ(fileNameFromBarcode("../../etc/passwd"), "_.._etc_passwd");
    EXPECT_EQ(fileNameFromBarcode("  .hidden. "), "hidden");
    EXPECT_EQ(fileNameFromBarcode("发票 No.7"), "发票 No.7");
    for (const char* nothing : {"", "   ", ".", "..", " . . "}) {
        EXPECT_EQ(fileNameFromBarcode(nothing), "") << '"' << nothing << '"';
    }
}

TEST(BarcodeFileName, LongTextsAreCutAfterAWholeCharacter) {
    std::string text = "A";
    for (int i = 0; i < 100; ++i) text += "号";  // 1 + 300 bytes
    const std::string name = fileNameFromBarcode(text);
    EXPECT_EQ(name.size(), 199u);  // "A" and 66 whole characters
    EXPECT_EQ(name, text.substr(0, 199));
}

TEST(BarcodeFileName, TheCaptureKeepsItsFolderAndExtensionAndNeverOverwrites) {
    std::set<std::string> existing;
    const auto exists = [&](const std::string& path) { return existing.count(path) > 0; };
    EXPECT_EQ(barcodeNamedPath("/scans/capture.jpg", "INV/7", exists), "/scans/INV_7.jpg");
    EXPECT_EQ(barcodeNamedPath("/scans/capture", "X", exists), "/scans/X");
    EXPECT_EQ(barcodeNamedPath("capture.tar.gz", "X", exists), "X.gz");
    EXPECT_EQ(barcodeNamedPath("/a.b/capture", "X", exists), "/a.b/X");
    existing = {"/scans/X.jpg", "/scans/X_2.jpg"};
    EXPECT_EQ(barcodeNamedPath("/scans/c.jpg", "X", exists), "/scans/X_3.jpg");
    // Nothing usable in the text: the requested name stays.
    EXPECT_EQ(barcodeNamedPath("/scans/c.jpg", "..", exists), "/scans/c.jpg");
    const auto everything = [](const std::string&) { return true; };
    EXPECT_EQ(barcodeNamedPath("/scans/c.jpg", "X", everything), "/scans/c.jpg");
}

// A camera whose latest frame is a page with a QR code, driven by the test.
struct FakeCamera {
    int status = kOk;
    FrameCopy frame;

    void show(const std::string& content) {
        GrayImage page = blankPage(640, 480);
        if (!content.empty()) drawBarcode(page, 170, 90, BarcodeFormat::QRCode, content, 300, 300);
        frame.width = page.width;
        frame.height = page.height;
        frame.rgb.clear();
        for (uint8_t value : page.pixels) frame.rgb.insert(frame.rgb.end(), {value, value, value});
    }
};

class NamingByBarcode : public ::testing::Test {
  protected:
    NamingByBarcode()
        : reader_([this](int dev, FrameCopy& frame) {
              devicesAsked_.push_back(dev);
              frame = camera_.frame;
              return camera_.status;
          }) {}
    FakeCamera camera_;
    std::vector<int> devicesAsked_;
    ZxingBarcodeReader reader_;
    TempDir dir_;
};

TEST_F(NamingByBarcode, WithoutAnOpenCameraTheSwitchIsRefused) {
    camera_.status = kNoDevice;
    EXPECT_EQ(reader_.setNameByBarcode(1, true), kNoDevice);
    camera_.status = kOk;
    camera_.show("DOC-1");
    EXPECT_EQ(reader_.capturePath(1, dir_.file("c.jpg")), dir_.file("c.jpg"));
    EXPECT_EQ(devicesAsked_, std::vector<int>{1});
}

TEST_F(NamingByBarcode, CapturesOfTheSwitchedCameraAreNamedAfterTheCode) {
    camera_.show("DOC 2024/17");
    ASSERT_EQ(reader_.setNameByBarcode(0, true), kOk);
    EXPECT_EQ(reader_.capturePath(0, dir_.file("c.jpg")), dir_.file("DOC 2024_17.jpg"));
    // Other cameras keep their names.
    EXPECT_EQ(reader_.capturePath(1, dir_.file("c.jpg")), dir_.file("c.jpg"));
    // An earlier capture with the same code is not overwritten.
    dir_.write("DOC 2024_17.jpg", "earlier");
    EXPECT_EQ(reader_.capturePath(0, dir_.file("c.jpg")), dir_.file("DOC 2024_17_2.jpg"));
}

TEST_F(NamingByBarcode, NoCodeOrSwitchedOffKeepsTheRequestedName) {
    camera_.show("");
    ASSERT_EQ(reader_.setNameByBarcode(0, true), kOk);
    EXPECT_EQ(reader_.capturePath(0, dir_.file("c.jpg")), dir_.file("c.jpg"));
    camera_.show("DOC-9");
    ASSERT_EQ(reader_.setNameByBarcode(0, false), kOk);
    EXPECT_EQ(reader_.capturePath(0, dir_.file("c.jpg")), dir_.file("c.jpg"));
    // The camera closed after the switch: the capture keeps its name too.
    ASSERT_EQ(reader_.setNameByBarcode(0, true), kOk);
    camera_.status = kNoDevice;
    EXPECT_EQ(reader_.capturePath(0, dir_.file("c.jpg")), dir_.file("c.jpg"));
}

TEST(NoBarcodeEngine, NamingWithoutACameraIsNoDevice) {
    NoBarcodeReader none;
    EXPECT_EQ(none.setNameByBarcode(0, true), kNoDevice);
    EXPECT_EQ(none.capturePath(0, "/a/b.jpg"), "/a/b.jpg");
}

}  // namespace
}  // namespace pictavo
