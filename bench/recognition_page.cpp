// How long the recognition engines take for one page of A4 at 300 dpi (2480 x 3508 pixels) of
// printed text with two barcodes: loading a language the first time, then every later page with
// the engine kept, in English and in simplified Chinese; and the barcode reader on the same page.
// Build Release to measure.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "page_painter.h"
#include "pictavo/recognition/tesseract_ocr_engine.h"
#include "pictavo/recognition/text_recognizer.h"
#include "pictavo/recognition/zxing_barcode_reader.h"
#include "pictavo/status.h"

namespace {

using Clock = std::chrono::steady_clock;
using pictavo_test::GrayImage;

constexpr int kWidth = 2480;
constexpr int kHeight = 3508;

// A page of 11-point text (46 pixels at 300 dpi) in lines of about 70 characters, with a QR code
// and a Code 128 at the top.
GrayImage textPage(const std::string& font, const std::vector<std::string>& sentences) {
    GrayImage page = pictavo_test::blankPage(kWidth, kHeight);
    pictavo_test::drawBarcode(page, 1900, 150, ZXing::BarcodeFormat::QRCode, "BENCH-PAGE-0001", 400,
                              400);
    pictavo_test::drawBarcode(page, 200, 200, ZXing::BarcodeFormat::Code128, "A4-300DPI-2024", 900,
                              200);
    pictavo_test::TextPainter painter(font);
    int line = 0;
    for (int baseline = 700; baseline < kHeight - 200; baseline += 80)
        painter.draw(page, 200, baseline, 46, sentences[line++ % sentences.size()]);
    return page;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the whole process (all threads): on a loaded machine the wall clock says more
// about the other processes than about us.
double cpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Recognises `path` `rounds` times with a fresh engine; prints the first and the best later time.
void measureOcr(const std::string& tessdata, const std::string& path, const std::string& language,
                int rounds) {
    auto recognizer = std::make_shared<pictavo::TextRecognizer>(tessdata);
    pictavo::TesseractOcrEngine engine(recognizer);
    int index = -1;
    for (size_t i = 0; i < engine.languages().size(); ++i)
        if (engine.languages()[i] == language) index = static_cast<int>(i);
    if (index < 0) {
        std::printf("%-8s not installed\n", language.c_str());
        return;
    }
    double first = 0, best = 1e12, firstCpu = 0, bestCpu = 1e12;
    size_t characters = 0;
    for (int round = 0; round < rounds; ++round) {
        engine.addImage(path);
        std::string text;
        const Clock::time_point start = Clock::now();
        const double cpuStart = cpuMilliseconds();
        const int status = engine.combineToText(index, text);
        const double elapsed = millisecondsSince(start);
        const double cpu = cpuMilliseconds() - cpuStart;
        if (status != pictavo::kOk) {
            std::printf("%-8s recognition failed: %d\n", language.c_str(), status);
            return;
        }
        characters = text.size();
        if (round == 0) {
            first = elapsed;
            firstCpu = cpu;
        } else {
            best = std::min(best, elapsed);
            bestCpu = std::min(bestCpu, cpu);
        }
    }
    std::printf(
        "%-8s first page (language loaded): %6.0f ms wall, %6.0f ms CPU   later pages: "
        "%6.0f ms wall, %6.0f ms CPU   (%zu bytes of text)\n",
        language.c_str(), first, firstCpu, best, bestCpu, characters);
}

}  // namespace

int main() {
    const std::string tessdata = pictavo::findTessdata("", std::getenv("TESSDATA_PREFIX"));
    if (tessdata.empty()) {
        std::fprintf(stderr, "no Tesseract data installed\n");
        return 1;
    }
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("bench-recognition-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string english = (dir / "english.png").string();
    const std::string chinese = (dir / "chinese.png").string();
    pictavo_test::writeImage(
        textPage(pictavo_test::kLatinFont,
                 {"The quarterly report shows that deliveries arrived on time in most regions.",
                  "Invoice 2024-0815 lists twelve items; payment is due within thirty days.",
                  "Please sign both copies and return one of them to the front office."}),
        english);
    pictavo_test::writeImage(
        textPage(pictavo_test::kChineseFont,
                 {"本季度报告显示大部分地区的货物均已按时送达，客户满意度持续提升。",
                  "发票编号二零二四零八一五共列十二项商品，请于三十日内付款。",
                  "请在两份文件上签字，并将其中一份交回前台办公室存档。"}),
        chinese);

    std::printf("One A4 page at 300 dpi (%d x %d), Tesseract data in %s\n", kWidth, kHeight,
                tessdata.c_str());
    measureOcr(tessdata, english, "eng", 3);
    measureOcr(tessdata, chinese, "chi_sim", 3);

    pictavo::ZxingBarcodeReader barcodes;
    double best = 1e12;
    size_t found = 0;
    for (int round = 0; round < 5; ++round) {
        std::vector<BarcodeResult> results;
        const Clock::time_point start = Clock::now();
        barcodes.recognize(english, results);
        best = std::min(best, millisecondsSince(start));
        found = results.size();
    }
    std::printf("barcodes whole page (file read included): %8.0f ms   (%zu codes)\n", best, found);
    std::filesystem::remove_all(dir);
    return 0;
}
