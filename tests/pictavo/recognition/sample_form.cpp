// Drawing the sample visitor registration form.
#include "sample_form.h"

namespace pictavo_test {
namespace {

constexpr int kWidth = 1240;
constexpr int kHeight = 1754;
constexpr int kFirstBaseline = 430;
constexpr int kRowPitch = 110;
constexpr int kLabelX = 90;
constexpr int kValueX = 440;
constexpr int kTextSize = 36;

}  // namespace

const std::vector<std::pair<std::string, std::string>>& sampleFormFields() {
    static const std::vector<std::pair<std::string, std::string>> fields = {
        {"Name", "Alice Johnson"},   {"Company", "Northwind Trading"},
        {"VisitDate", "2024-03-15"}, {"BadgeNumber", "V-20417"},
        {"Host", "David Chen"},      {"Purpose", "Quarterly supplier review"},
    };
    return fields;
}

GrayImage renderSampleForm() {
    GrayImage page = blankPage(kWidth, kHeight);
    TextPainter text(kLatinFont);
    text.draw(page, kLabelX, 170, 56, "Visitor Registration");
    text.draw(page, kLabelX, 235, 28, "Please complete every field in block letters.");
    drawBarcode(page, 960, 80, ZXing::BarcodeFormat::QRCode, kSampleFormCode, 190, 190);

    static const char* const labels[] = {"Name",         "Company", "Visit date",
                                         "Badge number", "Host",    "Purpose"};
    int baseline = kFirstBaseline;
    size_t row = 0;
    for (const auto& field : sampleFormFields()) {
        text.draw(page, kLabelX, baseline, 30, labels[row++]);
        // The box stands outside the field's rectangle in the template, so its lines are never
        // read as characters.
        drawBox(page, kValueX - 20, baseline - 62, 1170, baseline + 30, 3);
        text.draw(page, kValueX, baseline, kTextSize, field.second);
        baseline += kRowPitch;
    }
    text.draw(page, kLabelX, 1600, 24, "Keep this form with you while on site.");
    return page;
}

}  // namespace pictavo_test
