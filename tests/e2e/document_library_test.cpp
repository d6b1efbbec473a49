// Documents through the real executable on the built-in library: pictures collected into a PDF
// of as many pages, two pictures combined into one, and the commands that would need a display.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <vector>

#include "common/jpeg_codec.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

std::string reply(const std::string& name, const std::string& result) {
    return R"({"FuncName":")" + name + R"(","result":")" + result + R"("})";
}

// A JPEG of one grey level, written with the shared codec.
void writeJpeg(const std::string& path, int width, int height, uint8_t level) {
    const std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height), level);
    ASSERT_TRUE(jpeg::writeFile(path, pixels.data(), width, height, 1, static_cast<size_t>(width),
                                jpeg::EncodeOptions{}));
}

// The page count poppler reads from the document; -1 when it cannot.
int pdfPages(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("pdfinfo '" + path + "' 2>&1").c_str(), "r"),
                                              pclose);
    if (!pipe) return -1;
    std::string output;
    char chunk[1024];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) output.append(chunk, got);
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(R"(Pages:\s+(\d+))"))) {
        ADD_FAILURE() << "pdfinfo (poppler-utils, from scripts/setup): " << output;
        return -1;
    }
    return std::stoi(match[1]);
}

class DocumentsOnBuiltInLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = server_.start();
        ASSERT_NE(port_, 0) << server_.standardError();
        ASSERT_TRUE(page_.connect(port_));
    }

    std::string file(const std::string& name) const { return server_.root().file(name); }

    ServerProcess server_;
    uint16_t port_ = 0;
    WsTestClient page_;
};

TEST_F(DocumentsOnBuiltInLibrary, AddedPicturesBecomeAPdfOfAsManyPages) {
    for (int i = 0; i < 3; ++i) {
        const std::string path = file("page" + std::to_string(i) + ".jpg");
        writeJpeg(path, 160, 120, static_cast<uint8_t>(60 * i));
        EXPECT_EQ(page_.roundTrip(R"({"FuncName":"camAddFileToPDFList","argument":{"filePath":")" +
                                  path + R"("}})"),
                  reply("camAddFileToPDFList", "0"));
    }
    const std::string pdf = file("document.pdf");
    EXPECT_EQ(page_.roundTrip(R"({"FuncName":"camCombinePDF","argument":{"filePath":")" + pdf +
                              R"(","JpegQuality":80}})"),
              reply("camCombinePDF", "0"));
    EXPECT_EQ(pdfPages(pdf), 3);

    // The list started afresh: one more picture makes a one-page document.
    writeJpeg(file("single.jpg"), 80, 60, 200);
    EXPECT_EQ(page_.roundTrip(R"({"FuncName":"camAddFileToPDFList","argument":{"filePath":")" +
                              file("single.jpg") + R"("}})"),
              reply("camAddFileToPDFList", "0"));
    EXPECT_EQ(page_.roundTrip(R"({"FuncName":"camCombinePDF","argument":{"filePath":")" +
                              file("single.pdf") + R"(","JpegQuality":0}})"),
              reply("camCombinePDF", "0"));
    EXPECT_EQ(pdfPages(file("single.pdf")), 1);
}

TEST_F(DocumentsOnBuiltInLibrary, TwoPicturesCombineSideBySide) {
    writeJpeg(file("left.jpg"), 100, 80, 40);
    writeJpeg(file("right.jpg"), 60, 120, 220);
    const std::string out = file("both.jpg");
    EXPECT_EQ(page_.roundTrip(R"({"FuncName":"camCombineImage","argument":{"filePath1":")" +
                              file("left.jpg") + R"(","filePath2":")" + file("right.jpg") +
                              R"(","PdfPath":")" + out + R"(","Type":0,"offsetX":0,"offsetY":0}})"),
              reply("camCombineImage", "0"));
    jpeg::Image combined;
    ASSERT_TRUE(jpeg::readFile(out, combined));
    EXPECT_EQ(combined.width, 160);
    EXPECT_EQ(combined.height, 120);
}

TEST_F(DocumentsOnBuiltInLibrary, NothingIsShownWithoutADisplay) {
    writeJpeg(file("shown.jpg"), 16, 16, 128);
    EXPECT_EQ(page_.roundTrip(R"({"FuncName":"camShowImage","argument":{"FilePath":")" +
                              file("shown.jpg") + R"("}})"),
              reply("camShowImage", "-4"));
    EXPECT_EQ(page_.roundTrip(R"({"FuncName":"camShowImage","argument":{"FilePath":")" +
                              file("missing.jpg") + R"("}})"),
              reply("camShowImage", "-5"));
}

}  // namespace
}  // namespace lenvaro::testing
