// Barcode, OCR and template recognition through the real executable on the built-in library,
// with the sample form and templates file shipped in cfg/.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

// cfg/ of the source tree, as an absolute path the build gives: the server is handed this path
// and resolves it from its own folder, not the test's.
std::string shippedConfig() { return LENVARO_SOURCE_DIR "/cfg"; }

const std::string kSampleForm = shippedConfig() + "/sample_form.jpg";

class Recognition : public ::testing::Test {
  protected:
    void SetUp() override {
        // The library looks for its templates in cfg/ beside or above the executable.
        ASSERT_TRUE(copyFile(shippedConfig() + "/templates.json",
                             server_.root().file("cfg/templates.json"), 0600));
        const uint16_t port = server_.start();
        ASSERT_NE(port, 0) << server_.standardError();
        ASSERT_TRUE(page_.connect(port));
    }

    // Recognition takes seconds the first time a language loads.
    std::string ask(const std::string& request) {
        return page_.roundTrip(request, 60s).value_or("<no reply>");
    }

    ServerProcess server_;
    WsTestClient page_;
};

TEST_F(Recognition, BarcodesOfTheSampleForm) {
    EXPECT_EQ(ask(R"({"FuncName":"coderRecognizeBarcode","argument":{"filePath":")" + kSampleForm +
                  R"("}})"),
              R"({"FuncName":"coderRecognizeBarcode","result":"QR:VRF-2024-000417"})");
    EXPECT_EQ(ask(R"({"FuncName":"ocrRecognizeBarcode","argument":{"strBarcodePath":")" +
                  kSampleForm + R"(","nCodeType":1}})"),
              R"({"FuncName":"ocrRecognizeBarcode","result":"1"})");
    EXPECT_EQ(ask(R"({"FuncName":"ocrGetBarcodeText","argument":{"nIndex":0}})"),
              R"({"FuncName":"ocrGetBarcodeText","result":"VRF-2024-000417"})");
    // The table of fields holds no code.
    EXPECT_EQ(
        ask(R"({"FuncName":"ocrRecognizeBarcodeRect","argument":{"strBarcodePath":")" +
            kSampleForm + R"(","ileft":0,"itop":300,"iright":1240,"ibottom":1754,"nCodeType":0}})"),
        R"({"FuncName":"ocrRecognizeBarcodeRect","result":"0"})");
    EXPECT_EQ(ask(R"({"FuncName":"ocrGetBarcodeText","argument":{"nIndex":0}})"),
              R"({"FuncName":"ocrGetBarcodeText","result":""})");
    // No camera is open, so captures cannot be named after their code.
    EXPECT_EQ(ask(R"({"FuncName":"coderNameByBarcode","argument":{"IsAvailabel":1}})"),
              R"({"FuncName":"coderNameByBarcode","result":"-3"})");
}

TEST_F(Recognition, OcrLanguagesTextAndSearchablePdf) {
    const std::string names = ask(R"({"FuncName":"ocrGetLanguageName"})");
    EXPECT_EQ(names.rfind(R"({"FuncName":"ocrGetLanguageName","result":["eng","chi_sim")", 0), 0u)
        << names;
    const std::string text =
        ask(R"({"FuncName":"ocrCombineSingleToString","argument":{"strImagePath":")" + kSampleForm +
            R"(","language":0}})");
    EXPECT_EQ(text.rfind("$-$", 0), 0u) << text;
    for (const char* words : {"Visitor Registration", "Alice Johnson", "Northwind Trading"})
        EXPECT_NE(text.find(words), std::string::npos) << words << " in " << text;

    const std::string pdf = server_.tmp() + "/form.pdf";
    EXPECT_EQ(ask(R"({"FuncName":"ocrCombineSingleToFile","argument":{"strImagePath":")" +
                  kSampleForm + R"(","strFilePath":")" + pdf + R"(","language":0}})"),
              R"({"FuncName":"ocrCombineSingleToFile","result":"0"})");
    EXPECT_EQ(readWholeFile(pdf).substr(0, 5), "%PDF-");
    // The list was emptied by the combine.
    EXPECT_EQ(ask(R"({"FuncName":"ocrCombineToFile","argument":{"strFilePath":")" + pdf +
                  R"(","language":0}})"),
              R"({"FuncName":"ocrCombineToFile","result":"-1"})");
}

TEST_F(Recognition, TheSampleTemplateReadsTheSampleForm) {
    EXPECT_EQ(ask(R"({"FuncName":"otrGetTemplateCount "})"),
              R"({"FuncName":"otrGetTemplateCount ","result":"1"})");
    EXPECT_EQ(
        ask(R"({"FuncName":"otrGetTemplateInfo ","argument":{"index":0}})"),
        R"({"FuncName":"otrGetTemplateInfo ","result":"{"TemplateName":"VisitorRegistration"}"})");
    EXPECT_EQ(
        ask(R"({"FuncName":"OtrRecog ","argument":{"index":0,"strimagePath":")" + kSampleForm +
            R"("}})"),
        R"({"FuncName":"OtrRecog ","result":"{"Name":"Alice Johnson","Company":"Northwind Trading",)"
        R"("VisitDate":"2024-03-15","BadgeNumber":"V-20417","Host":"David Chen",)"
        R"("Purpose":"Quarterly supplier review"}"})");
    EXPECT_EQ(ask(R"({"FuncName":"OtrRecog ","argument":{"index":3,"strimagePath":")" +
                  kSampleForm + R"("}})"),
              R"({"FuncName":"OtrRecog ","result":"{"errorCode":"-2"}"})");
}

// The simulated document camera shows the sample form, QR code and all.
TEST(RecognitionOnACamera, CapturesAreNamedAfterTheCodeTheCameraShows) {
    ServerProcess server;
    const std::string config = server.root().file("simulator.json");
    std::ofstream(config) << R"({"cameras":{"document":{"enabled":true,"images":[")" + kSampleForm +
                                 R"("]}}})";
    server.setEnvironment("PICTAVO_CONFIG", config);
    const uint16_t port = server.start();
    ASSERT_NE(port, 0) << server.standardError();
    WsTestClient page;
    ASSERT_TRUE(page.connect(port));
    // An open camera streams preview frames ("$*$...") between the replies.
    const auto ask = [&](const std::string& request) -> std::string {
        page.send(request);
        while (const std::optional<std::string> message = page.receive(60s)) {
            if (message->rfind("$*$", 0) != 0) return *message;
        }
        return "<no reply>";
    };
    const auto capture = [&] {
        return ask(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" + server.tmp() +
                   R"(/capture.jpg"}})");
    };
    const std::string captured = R"({"FuncName":"camCaptureImageFile","result":"0"})";

    ASSERT_EQ(
        ask(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":1920,"height":1080}})"),
        R"({"FuncName":"camOpenDev","result":"0"})");
    EXPECT_EQ(ask(R"({"FuncName":"coderNameByBarcode","argument":{"IsAvailabel":1}})"),
              R"({"FuncName":"coderNameByBarcode","result":"0"})");
    EXPECT_EQ(capture(), captured);
    EXPECT_TRUE(std::filesystem::exists(server.tmp() + "/VRF-2024-000417.jpg"));
    EXPECT_FALSE(std::filesystem::exists(server.tmp() + "/capture.jpg"));
    // The second capture of the same document does not replace the first.
    EXPECT_EQ(capture(), captured);
    EXPECT_TRUE(std::filesystem::exists(server.tmp() + "/VRF-2024-000417_2.jpg"));

    EXPECT_EQ(ask(R"({"FuncName":"coderNameByBarcode","argument":{"IsAvailabel":0}})"),
              R"({"FuncName":"coderNameByBarcode","result":"0"})");
    EXPECT_EQ(capture(), captured);
    EXPECT_TRUE(std::filesystem::exists(server.tmp() + "/capture.jpg"));
}

}  // namespace
}  // namespace lenvaro::testing
