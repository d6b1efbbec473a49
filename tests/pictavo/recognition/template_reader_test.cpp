// Template recognition: the templates file's checks, and the shipped sample template reading
// the fields of the shipped sample form.
#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include <cstdlib>
#include <sstream>

#include "../temp_dir.h"
#include "page_painter.h"
#include "pictavo/recognition/ocr_template_reader.h"
#include "pictavo/recognition/recognition_engines.h"
#include "pictavo/status.h"
#include "sample_form.h"

namespace pictavo {
namespace {

using pictavo_test::TempDir;

const std::string kShippedConfig = PICTAVO_TEST_DATA "/../../../cfg";

std::shared_ptr<TextRecognizer> installedRecognizer() {
    // Kept until the process ends, never destroyed: Tesseract's own static caches may already
    // be gone when static destructors run, and freeing into them aborts the process.
    static const auto* recognizer = new std::shared_ptr<TextRecognizer>(
        std::make_shared<TextRecognizer>(findTessdata("", std::getenv("TESSDATA_PREFIX"))));
    return *recognizer;
}

std::string oneTemplate(const std::string& fields, const std::string& extra = "") {
    return R"({"templates":[{"name":"T","language":"eng")" + extra + R"(,"fields":[)" + fields +
           "]}]}";
}

TEST(TemplateFile, AcceptsTheShippedFile) {
    std::vector<FormTemplate> templates;
    ASSERT_EQ(loadTemplates(kShippedConfig + "/templates.json", templates), "");
    ASSERT_EQ(templates.size(), 1u);
    EXPECT_EQ(templates[0].name, "VisitorRegistration");
    EXPECT_EQ(templates[0].language, "eng");
    EXPECT_EQ(templates[0].fields.size(), pictavo_test::sampleFormFields().size());
}

TEST(TemplateFile, RefusesWhatItCannotUseWholly) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not json", "{"},
        {"no list", R"({"forms":[]})"},
        {"nameless",
         R"({"templates":[{"language":"eng","fields":[{"name":"a","rect":[0,0,1,1]}]}]})"},
        {"no language", R"({"templates":[{"name":"T","fields":[{"name":"a","rect":[0,0,1,1]}]}]})"},
        {"no fields", oneTemplate("")},
        {"three numbers", oneTemplate(R"({"name":"a","rect":[0,0,1]})")},
        {"fraction", oneTemplate(R"({"name":"a","rect":[0,0,1.5,1]})")},
        {"negative", oneTemplate(R"({"name":"a","rect":[-1,0,10,10]})")},
        {"inverted", oneTemplate(R"({"name":"a","rect":[10,0,5,10]})")},
        {"flat", oneTemplate(R"({"name":"a","rect":[0,10,5,10]})")},
        {"field twice",
         oneTemplate(R"({"name":"a","rect":[0,0,1,1]},{"name":"a","rect":[0,0,2,2]})")},
        {"width alone", oneTemplate(R"({"name":"a","rect":[0,0,1,1]})", R"(,"width":100)")},
        {"template twice",
         R"({"templates":[{"name":"T","language":"eng","fields":[{"name":"a","rect":[0,0,1,1]}]},)"
         R"({"name":"T","language":"eng","fields":[{"name":"a","rect":[0,0,1,1]}]}]})"},
        {"trailing text", oneTemplate(R"({"name":"a","rect":[0,0,1,1]})") + " x"},
    };
    for (const auto& [label, content] : cases) {
        std::vector<FormTemplate> templates;
        EXPECT_NE(parseTemplates(content, templates), "") << label;
        EXPECT_TRUE(templates.empty()) << label;
    }
    std::vector<FormTemplate> templates;
    EXPECT_EQ(
        parseTemplates("// comment\n" + oneTemplate(R"({"name":"a","rect":[0,0,1,1]})"), templates),
        "");
    EXPECT_EQ(templates.size(), 1u);
}

TEST(TemplateFile, RectanglesScaleToTheImageSize) {
    FormTemplate form;
    form.width = 1000;
    form.height = 2000;
    form.fields = {{"a", Area{100, 200, 500, 400}}};
    EXPECT_EQ(scaledFields(form, 1000, 2000)[0].area.right, 500);
    const Area half = scaledFields(form, 500, 1000)[0].area;
    EXPECT_EQ(std::vector<int>({half.left, half.top, half.right, half.bottom}),
              std::vector<int>({50, 100, 250, 200}));
    form.width = form.height = 0;
    EXPECT_EQ(scaledFields(form, 500, 1000)[0].area.right, 500);
}

TEST(TemplateFile, IsFoundBesideTheExecutableOrAsConfigured) {
    TempDir dir;
    dir.write("bin/x", "");
    EXPECT_EQ(locateTemplates("", dir.file("bin")), "");
    dir.write("cfg/templates.json", "{}");
    EXPECT_EQ(locateTemplates("", dir.file("bin")), dir.file("bin") + "/../cfg/templates.json");
    dir.write("bin/cfg/templates.json", "{}");
    EXPECT_EQ(locateTemplates("", dir.file("bin")), dir.file("bin") + "/cfg/templates.json");
    EXPECT_EQ(locateTemplates("/etc/forms.json", dir.file("bin")), "/etc/forms.json");
}

TEST(RecognitionSettings, ReadsTextsAndReportsOthers) {
    Config config;
    std::ostringstream diagnostics;
    EXPECT_EQ(recognitionSettings(config, diagnostics).tessdata, "");
    config.document["recognition"]["tessdata"] = "/data";
    config.document["recognition"]["templates"] = 7;
    const RecognitionSettings settings = recognitionSettings(config, diagnostics);
    EXPECT_EQ(settings.tessdata, "/data");
    EXPECT_EQ(settings.templates, "");
    EXPECT_NE(diagnostics.str().find("templates"), std::string::npos);
}

class SampleTemplate : public ::testing::Test {
  protected:
    std::ostringstream diagnostics_;
    OcrTemplateReader reader_{kShippedConfig + "/templates.json", installedRecognizer(),
                              diagnostics_};
    TempDir dir_;

    void expectSampleFields() {
        const std::vector<TemplateField> results = reader_.results();
        const auto& expected = pictavo_test::sampleFormFields();
        ASSERT_EQ(results.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(results[i].name, expected[i].first);
            EXPECT_EQ(results[i].value, expected[i].second) << results[i].name;
        }
    }
};

TEST_F(SampleTemplate, ShippedFormYieldsItsFields) {
    EXPECT_EQ(reader_.templates(), std::vector<std::string>{"VisitorRegistration"});
    ASSERT_EQ(reader_.recognize(0, kShippedConfig + "/sample_form.jpg"), kOk);
    expectSampleFields();
    EXPECT_EQ(diagnostics_.str(), "");
}

TEST_F(SampleTemplate, AFormOfAnotherSizeIsReadThroughScaledRectangles) {
    const pictavo::PixPtr shipped = [] {
        PixPtr pix;
        readImage(kShippedConfig + "/sample_form.jpg", pix);
        return pix;
    }();
    ASSERT_TRUE(shipped);
    const PixPtr larger(pixScale(shipped.get(), 1.5f, 1.5f));
    ASSERT_EQ(pixWrite(dir_.file("larger.png").c_str(), larger.get(), IFF_PNG), 0);
    ASSERT_EQ(reader_.recognize(0, dir_.file("larger.png")), kOk);
    expectSampleFields();
}

TEST_F(SampleTemplate, FailuresLeaveNoResults) {
    ASSERT_EQ(reader_.recognize(0, kShippedConfig + "/sample_form.jpg"), kOk);
    EXPECT_EQ(reader_.recognize(1, kShippedConfig + "/sample_form.jpg"), kInvalidArgument);
    EXPECT_TRUE(reader_.results().empty());
    ASSERT_EQ(reader_.recognize(0, kShippedConfig + "/sample_form.jpg"), kOk);
    EXPECT_EQ(reader_.recognize(0, dir_.file("missing.png")), kFileError);
    EXPECT_TRUE(reader_.results().empty());
    EXPECT_EQ(reader_.recognize(-1, dir_.file("missing.png")), kInvalidArgument);
}

TEST(TemplateReader, ARectangleOutsideTheImageReadsEmpty) {
    TempDir dir;
    const std::string path =
        dir.write("t.json", oneTemplate(R"({"name":"Outside","rect":[5000,5000,5100,5100]},)"
                                        R"({"name":"Name","rect":[430,375,1160,452]})"));
    std::ostringstream diagnostics;
    OcrTemplateReader reader(path, installedRecognizer(), diagnostics);
    ASSERT_EQ(reader.recognize(0, kShippedConfig + "/sample_form.jpg"), kOk);
    const std::vector<TemplateField> results = reader.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].name, "Outside");
    EXPECT_EQ(results[0].value, "");
    EXPECT_EQ(results[1].value, "Alice Johnson");
}

TEST(TemplateReader, UninitReadsAnEditedFileAgain) {
    TempDir dir;
    const std::string path = dir.write("t.json", oneTemplate(R"({"name":"a","rect":[0,0,9,9]})"));
    std::ostringstream diagnostics;
    OcrTemplateReader reader(path, nullptr, diagnostics);
    EXPECT_EQ(reader.templates(), std::vector<std::string>{"T"});
    dir.write("t.json", "{ broken");
    EXPECT_EQ(reader.templates(), std::vector<std::string>{"T"}) << "read once, then kept";
    EXPECT_EQ(reader.uninit(), kOk);
    EXPECT_TRUE(reader.templates().empty());
    EXPECT_NE(diagnostics.str().find("t.json"), std::string::npos);
}

TEST(TemplateReader, WithoutTextRecognitionTemplatesAreListedButNotRead) {
    TempDir dir;
    const std::string path = dir.write("t.json", oneTemplate(R"({"name":"a","rect":[0,0,9,9]})"));
    std::ostringstream diagnostics;
    OcrTemplateReader reader(path, nullptr, diagnostics);
    EXPECT_EQ(reader.templates().size(), 1u);
    EXPECT_EQ(reader.recognize(0, kShippedConfig + "/sample_form.jpg"), kNotSupported);
}

TEST(TemplateReader, ALanguageThatIsNotInstalledIsNotSupported) {
    TempDir dir;
    const std::string path = dir.write(
        "t.json",
        R"({"templates":[{"name":"K","language":"klingon","fields":[{"name":"a","rect":[0,0,9,9]}]}]})");
    std::ostringstream diagnostics;
    OcrTemplateReader reader(path, installedRecognizer(), diagnostics);
    EXPECT_EQ(reader.recognize(0, kShippedConfig + "/sample_form.jpg"), kNotSupported);
}

TEST(TemplateReader, NoFileMeansNoTemplatesAndNoComplaint) {
    std::ostringstream diagnostics;
    OcrTemplateReader reader("", installedRecognizer(), diagnostics);
    EXPECT_TRUE(reader.templates().empty());
    EXPECT_EQ(reader.recognize(0, "x.png"), kInvalidArgument);
    EXPECT_EQ(diagnostics.str(), "");
}

// The shipped image is this renderer's output (as JPEG); PICTAVO_WRITE_SAMPLE_FORM=1 writes it
// anew after the form's drawing changed.
TEST(SampleFormImage, ShippedImageIsTheRenderedForm) {
    const GrayImage rendered = pictavo_test::renderSampleForm();
    const std::string shipped = kShippedConfig + "/sample_form.jpg";
    const char* rewrite = std::getenv("PICTAVO_WRITE_SAMPLE_FORM");
    if (rewrite != nullptr && std::string(rewrite) == "1") {
        ASSERT_TRUE(pictavo_test::writeImage(rendered, shipped));
    }
    TempDir dir;
    ASSERT_TRUE(pictavo_test::writeImage(rendered, dir.file("drawn.jpg")));
    GrayImage stored, drawn;
    for (const auto& [path, image] :
         {std::pair<std::string, GrayImage*>{shipped, &stored},
          std::pair<std::string, GrayImage*>{dir.file("drawn.jpg"), &drawn}}) {
        PixPtr pix;
        ASSERT_EQ(readImage(path, pix), kOk) << path;
        ASSERT_TRUE(toGray(pix.get(), *image));
    }
    EXPECT_EQ(stored.width, 1240);
    EXPECT_EQ(stored.height, 1754);
    EXPECT_TRUE(stored.pixels == drawn.pixels);
}

}  // namespace
}  // namespace pictavo
