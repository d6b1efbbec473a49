// Text recognition with Tesseract on pages drawn with real fonts: English and Chinese fixtures
// recognised, the OCR list's life, text files and searchable PDFs, and where the data is found.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "../temp_dir.h"
#include "page_painter.h"
#include "pictavo/recognition/tesseract_ocr_engine.h"
#include "pictavo/recognition/text_recognizer.h"
#include "pictavo/status.h"
#include "test_files.h"

namespace pictavo {
namespace {

using lenvaro::testing::readWholeFile;
using pictavo_test::blankPage;
using pictavo_test::kChineseFont;
using pictavo_test::kLatinFont;
using pictavo_test::TempDir;
using pictavo_test::TextPainter;
using pictavo_test::writeImage;

const std::vector<std::string> kEnglishLines = {
    "The quick brown fox jumps over the lazy dog.",
    "Invoice number 4711 was paid on 12 May 2024.",
    "Please return the signed copy to reception.",
};
const std::vector<std::string> kChineseLines = {
    "欢迎使用文字识别服务",
    "上海市浦东新区世纪大道",
    "请在收到后三日内签字确认",
};

// A page at about 300 dpi with `lines` of text in `font`.
std::string writeTextPage(const TempDir& dir, const std::string& name, const std::string& font,
                          const std::vector<std::string>& lines) {
    GrayImage page = blankPage(1700, 200 + 110 * static_cast<int>(lines.size()));
    TextPainter painter(font);
    EXPECT_TRUE(painter.loaded()) << font;
    int baseline = 150;
    for (const std::string& line : lines) {
        painter.draw(page, 100, baseline, 52, line);
        baseline += 110;
    }
    const std::string path = dir.file(name);
    EXPECT_TRUE(writeImage(page, path));
    return path;
}

// Without white space: recognition may space words and lines its own way.
std::string squeezed(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) out += c;
    }
    return out;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// UTF-8 code points, so distances count characters rather than bytes.
std::u32string codePoints(const std::string& utf8) {
    std::u32string out;
    for (size_t at = 0; at < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[at]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        char32_t value = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (size_t i = 1; i < length && at + i < utf8.size(); ++i)
            value = (value << 6) | (static_cast<unsigned char>(utf8[at + i]) & 0x3F);
        out += value;
        at += length;
    }
    return out;
}

size_t editDistance(const std::u32string& a, const std::u32string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Recognised text matches the expected one up to white space and a few characters in a hundred.
void expectRecognised(const std::string& recognised, const std::string& expected) {
    const std::u32string got = codePoints(squeezed(recognised));
    const std::u32string want = codePoints(squeezed(expected));
    EXPECT_LE(editDistance(got, want), want.size() / 25) << "recognised:\n"
                                                         << recognised << "\nexpected:\n"
                                                         << expected;
}

// The recognizer of the installed data; shared, because loading a language takes a second.
std::shared_ptr<TextRecognizer> installedRecognizer() {
    // Kept until the process ends, never destroyed: Tesseract's own static caches may already
    // be gone when static destructors run, and freeing into them aborts the process.
    static const auto* recognizer = new std::shared_ptr<TextRecognizer>(
        std::make_shared<TextRecognizer>(findTessdata("", std::getenv("TESSDATA_PREFIX"))));
    return *recognizer;
}

int languageIndex(const OcrEngine& engine, const std::string& code) {
    const std::vector<std::string> languages = engine.languages();
    for (size_t i = 0; i < languages.size(); ++i) {
        if (languages[i] == code) return static_cast<int>(i);
    }
    ADD_FAILURE() << code << " is not installed";
    return -1;
}

class OcrEngineTest : public ::testing::Test {
  protected:
    TesseractOcrEngine engine_{installedRecognizer()};
    TempDir dir_;
};

TEST(TessdataLookup, FindsTheInstalledDataAndListsEnglishFirst) {
    const std::string tessdata = findTessdata("", nullptr);
    ASSERT_FALSE(tessdata.empty()) << "no Tesseract data installed";
    const std::vector<std::string> languages = installedLanguages(tessdata);
    ASSERT_GE(languages.size(), 2u);
    EXPECT_EQ(languages[0], "eng");
    EXPECT_NE(std::find(languages.begin(), languages.end(), "chi_sim"), languages.end());
}

TEST(TessdataLookup, LanguagesAreInAStableOrderWithoutNonLanguages) {
    TempDir dir;
    for (const char* name :
         {"osd.traineddata", "deu.traineddata", "eng.traineddata", "chi_sim.traineddata",
          "equ.traineddata", "notes.txt", ".traineddata", "pdf.ttf"})
        dir.write(name, "x");
    EXPECT_EQ(installedLanguages(dir.path().string()),
              (std::vector<std::string>{"eng", "chi_sim", "deu"}));
    EXPECT_TRUE(installedLanguages(dir.file("missing")).empty());
}

TEST(TessdataLookup, ConfiguredThenEnvironmentThenPackageFolders) {
    TempDir dir;
    dir.write("own/fra.traineddata", "x");
    dir.write("prefix/tessdata/ita.traineddata", "x");
    EXPECT_EQ(findTessdata(dir.file("own"), dir.file("prefix").c_str()), dir.file("own"));
    // A configured folder without languages is not replaced by another.
    EXPECT_EQ(findTessdata(dir.file("prefix"), nullptr), "");
    EXPECT_EQ(findTessdata("", dir.file("own").c_str()), dir.file("own"));
    EXPECT_EQ(findTessdata("", dir.file("prefix").c_str()), dir.file("prefix/tessdata"));
    EXPECT_EQ(findTessdata("", dir.file("empty").c_str()), findTessdata("", nullptr));
}

TEST(TidyText, SpacesBetweenChineseCharactersGoOthersStay) {
    EXPECT_EQ(tidyPageText("欢 迎 使用  文字 识别\nHello  world 你好 A\n\n"),
              "欢迎使用文字识别\nHello  world 你好 A");
    EXPECT_EQ(tidyPageText("line one   \nline two\t\n"), "line one\nline two");
    EXPECT_EQ(tidyFieldText("  Alice\n Johnson \n"), "Alice Johnson");
    EXPECT_EQ(tidyFieldText("上 海\n市"), "上海 市");
}

TEST_F(OcrEngineTest, RecognisesEnglishText) {
    ASSERT_EQ(engine_.addImage(writeTextPage(dir_, "en.png", kLatinFont, kEnglishLines)), kOk);
    std::string text;
    ASSERT_EQ(engine_.combineToText(languageIndex(engine_, "eng"), text), kOk);
    expectRecognised(text, joined(kEnglishLines));
}

TEST_F(OcrEngineTest, RecognisesSimplifiedChineseText) {
    ASSERT_EQ(engine_.addImage(writeTextPage(dir_, "zh.png", kChineseFont, kChineseLines)), kOk);
    std::string text;
    ASSERT_EQ(engine_.combineToText(languageIndex(engine_, "chi_sim"), text), kOk);
    expectRecognised(text, joined(kChineseLines));
}

TEST_F(OcrEngineTest, TextFileHoldsEveryPageInOrder) {
    ASSERT_EQ(engine_.addImage(writeTextPage(dir_, "1.png", kLatinFont, {kEnglishLines[0]})), kOk);
    ASSERT_EQ(engine_.addImage(writeTextPage(dir_, "2.png", kLatinFont, {kEnglishLines[1]})), kOk);
    ASSERT_EQ(engine_.combineToFile(dir_.file("out.TXT"), languageIndex(engine_, "eng")), kOk);
    const std::string content = readWholeFile(dir_.file("out.TXT"));
    const size_t separator = content.find('\f');
    ASSERT_NE(separator, std::string::npos) << content;
    expectRecognised(content.substr(0, separator), kEnglishLines[0]);
    expectRecognised(content.substr(separator + 1), kEnglishLines[1]);
}

TEST_F(OcrEngineTest, SearchablePdfHoldsThePagesAndTheirWords) {
    ASSERT_EQ(engine_.addImage(writeTextPage(dir_, "1.png", kLatinFont, {kEnglishLines[0]})), kOk);
    ASSERT_EQ(engine_.addImage(writeTextPage(dir_, "2.png", kLatinFont, {kEnglishLines[1]})), kOk);
    const std::string pdf = dir_.file("scan.pdf");
    ASSERT_EQ(engine_.combineToFile(pdf, languageIndex(engine_, "eng")), kOk);
    EXPECT_EQ(readWholeFile(pdf).substr(0, 5), "%PDF-");

    // The text layer as a PDF reader extracts it.
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(
        popen(("pdftotext '" + pdf + "' - 2>/dev/null").c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string extracted;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;)
        extracted.append(chunk, got);
    for (const char* word : {"quick", "brown", "lazy", "Invoice", "4711", "May"})
        EXPECT_NE(extracted.find(word), std::string::npos) << word << " in:\n" << extracted;
    // Two pages: pdftotext ends each with a form feed.
    EXPECT_EQ(std::count(extracted.begin(), extracted.end(), '\f'), 2);
    // No temporary file is left beside it.
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        static_cast<void>(entry);
        ++entries;
    }
    EXPECT_EQ(entries, 3u);
}

TEST_F(OcrEngineTest, TheListHoldsImagesUntilACombine) {
    const std::string page = writeTextPage(dir_, "p.png", kLatinFont, {"Hello list"});
    std::string text;
    const int eng = languageIndex(engine_, "eng");
    EXPECT_EQ(engine_.combineToText(eng, text), kFailed) << "nothing to combine";
    ASSERT_EQ(engine_.addImage(page), kOk);
    // A refused combine (bad language or file type) keeps the list...
    EXPECT_EQ(engine_.combineToText(99, text), kInvalidArgument);
    EXPECT_EQ(engine_.combineToText(-1, text), kInvalidArgument);
    EXPECT_EQ(engine_.combineToFile(dir_.file("out.doc"), eng), kInvalidArgument);
    EXPECT_EQ(engine_.combineToFile(dir_.file("pdf"), eng), kInvalidArgument);
    ASSERT_EQ(engine_.combineToText(eng, text), kOk);
    expectRecognised(text, "Hello list");
    // ...and one that ran empties it.
    EXPECT_EQ(engine_.combineToText(eng, text), kFailed);
}

TEST_F(OcrEngineTest, ImagesThatCannotBeReadAreNotListed) {
    EXPECT_EQ(engine_.addImage(dir_.file("missing.png")), kFileError);
    EXPECT_EQ(engine_.addImage(dir_.write("fake.png", "not an image")), kFileError);
    EXPECT_EQ(engine_.addImage(dir_.path().string()), kFileError);
    std::string text;
    EXPECT_EQ(engine_.combineToText(0, text), kFailed);
}

TEST_F(OcrEngineTest, AnImageThatVanishedFailsTheCombineWithoutAFile) {
    const std::string page = writeTextPage(dir_, "gone.png", kLatinFont, {"Gone"});
    ASSERT_EQ(engine_.addImage(page), kOk);
    std::remove(page.c_str());
    EXPECT_EQ(engine_.combineToFile(dir_.file("out.txt"), 0), kFileError);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("out.txt")));
}

TEST_F(OcrEngineTest, UnwritableTargetsAreFileErrors) {
    const std::string page = writeTextPage(dir_, "p.png", kLatinFont, {"Target"});
    for (const char* target : {"no/such/folder/out.txt", "no/such/folder/out.pdf"}) {
        ASSERT_EQ(engine_.addImage(page), kOk);
        EXPECT_EQ(engine_.combineToFile(dir_.file(target), 0), kFileError) << target;
    }
}

TEST_F(OcrEngineTest, TheListHasACeiling) {
    const std::string page = writeTextPage(dir_, "p.png", kLatinFont, {"x"});
    for (size_t i = 0; i < TesseractOcrEngine::kMaxListedImages; ++i)
        ASSERT_EQ(engine_.addImage(page), kOk);
    EXPECT_EQ(engine_.addImage(page), kFailed);
}

TEST(TextRecognizerThreads, ConcurrentCallersEachGetTheirOwnText) {
    TempDir dir;
    const std::string first = writeTextPage(dir, "a.png", kLatinFont, {"First page alpha"});
    const std::string second = writeTextPage(dir, "b.png", kLatinFont, {"Second page omega"});
    std::shared_ptr<TextRecognizer> recognizer = installedRecognizer();
    std::string textA, textB;
    const auto read = [&](const std::string& path, std::string& text) {
        for (int round = 0; round < 3; ++round) {
            PixPtr image;
            ASSERT_EQ(readImage(path, image), kOk);
            ASSERT_EQ(recognizer->readPage(image.get(), "eng", text), kOk);
        }
    };
    std::thread a(read, first, std::ref(textA));
    std::thread b(read, second, std::ref(textB));
    a.join();
    b.join();
    expectRecognised(textA, "First page alpha");
    expectRecognised(textB, "Second page omega");
}

TEST(TextRecognizerLanguages, UninstalledLanguagesAreNotSupported) {
    std::shared_ptr<TextRecognizer> recognizer = installedRecognizer();
    EXPECT_TRUE(recognizer->hasLanguage("chi_sim+eng"));
    EXPECT_FALSE(recognizer->hasLanguage("eng+xyz"));
    EXPECT_FALSE(recognizer->hasLanguage(""));
    PixPtr image(pixFromGray(blankPage(10, 10)));
    std::string text;
    EXPECT_EQ(recognizer->readPage(image.get(), "xyz", text), kNotSupported);
}

}  // namespace
}  // namespace pictavo
