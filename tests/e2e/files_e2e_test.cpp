// Folder listing, folder and file deletion, and the signature image, end to end: a page asks
// the real executable on the built-in library about real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/base64.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class FilesEndToEnd : public ::testing::Test {
  protected:
    // Starts the service with the given library configuration.
    void start(const std::string& simulatorJson) {
        std::ofstream(server_.root().file("simulator.json")) << simulatorJson;
        server_.setEnvironment("PICTAVO_CONFIG", server_.root().file("simulator.json"));
        const uint16_t port = server_.start();
        ASSERT_NE(port, 0) << server_.standardError();
        ASSERT_TRUE(page_.connect(port));
    }
    std::string ask(const std::string& request) {
        return page_.roundTrip(request, 10s).value_or("<no reply>");
    }
    std::string file(const std::string& relative, const std::string& content = "x") {
        const fs::path path = fs::path(server_.root().path()) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    ServerProcess server_;
    WsTestClient page_;
};

const char* const kOnlyFiles =
    R"({"families": {"camera": false, "cards": false, "biometrics": false, "recognition": false}})";

TEST_F(FilesEndToEnd, ListsAndDeletesEveryFileUnderAFolderButNothingElse) {
    start(kOnlyFiles);
    const std::string folder = server_.root().file("photos");
    for (const char* name : {"photos/b.jpg", "photos/a.jpg", "photos/day/x.jpg", "photos/.profile",
                             "photos/.cache/thumb.jpg", "outside/precious.jpg"}) {
        file(name);
    }
    ASSERT_EQ(symlink(server_.root().file("outside").c_str(), (folder + "/link").c_str()), 0);
    ASSERT_EQ(symlink(folder.c_str(), (folder + "/day/loop").c_str()), 0);

    const std::string listRequest =
        R"({"FuncName":"getFolderDayFileA","argument":{"Dictpry":")" + folder + R"("}})";
    EXPECT_EQ(ask(listRequest), "$$$" + folder + "//.profile;" + folder + "//a.jpg;" + folder +
                                    "//b.jpg;" + folder + "//x.jpg;");
    EXPECT_EQ(
        ask(R"({"FuncName":"DeleteFolderDayFileA","argument":{"Dictpry":")" + folder + R"("}})"),
        R"({"FuncName":"DeleteFolderDayFileA","result":""})");
    EXPECT_EQ(ask(listRequest), "$$$");
    EXPECT_FALSE(fs::exists(folder + "/day/x.jpg")) << "files in subfolders are deleted too";
    EXPECT_TRUE(fs::exists(folder + "/.cache/thumb.jpg"))
        << "folders starting with a dot are left alone";
    EXPECT_TRUE(fs::exists(server_.root().file("outside/precious.jpg")))
        << "links to folders are not followed";
    EXPECT_TRUE(fs::is_symlink(folder + "/link"));
}

TEST_F(FilesEndToEnd, DeletesOneFileAndSaysWhenThereIsNone) {
    start(kOnlyFiles);
    const std::string path = file("one file.jpg");
    const std::string request =
        R"({"FuncName":"camDeleteFile","argument":{"FilePath":")" + path + R"("}})";
    EXPECT_EQ(ask(request), R"({"FuncName":"camDeleteFile","result":"0"})");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(ask(request), R"({"FuncName":"camDeleteFile","result":"-5"})");
    EXPECT_EQ(ask(R"({"FuncName":"camDeleteFile"})"),
              R"({"FuncName":"camDeleteFile","result":"-2"})");
}

// The result text of a reply {"FuncName":"NAME","result":"TEXT"}, or a mark when it has another
// form.
std::string resultOf(const std::string& reply, const std::string& name) {
    const std::string prefix = R"({"FuncName":")" + name + R"(","result":")";
    if (reply.rfind(prefix, 0) != 0 || reply.size() < prefix.size() + 2)
        return "<unexpected: " + reply + ">";
    return reply.substr(prefix.size(), reply.size() - prefix.size() - 2);
}

TEST_F(FilesEndToEnd, TheSimulatedPadSignsSavesAndHandsTheImageOver) {
    start(
        R"({"families": {"camera": false, "cards": false, "biometrics": false, "recognition": false},)"
        R"( "signpad": {"strokeAfterMs": 50}})");
    const std::string padFile = server_.root().file("pad.png");
    const std::string outputFile = server_.root().file("out.jpg");
    EXPECT_EQ(
        ask(R"({"FuncName":"StartSignDevice","argument":{"left":0,"ntop":0,"right":320,"bottom":160,)"
            R"("BR":255,"BG":255,"BB":255,"BT":0,"R":0,"G":0,"B":200,"nBackNum":0,)"
            R"("filepath":")" +
            padFile + R"(","fileSignpath":")" + outputFile + R"("}})"),
        R"({"FuncName":"StartSignDevice","result":"0"})");
    EXPECT_TRUE(fs::exists(outputFile)) << "the output file is written before the call returns";

    // The simulated signer writes, the pad saves to its own file and tells the service.
    for (int i = 0; i < 500 && !fs::exists(padFile); ++i) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(fs::exists(padFile));

    const std::string imagePath = server_.root().file("signature.png");
    const std::string text = resultOf(
        ask(R"({"FuncName":"XoOutputImageBase64","argument":{"filePath":")" + imagePath + R"("}})"),
        "XoOutputImageBase64");
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    size_t count = 0;
    const std::string image = base64Decode(text, text.size(), count);
    EXPECT_EQ(image.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_TRUE(image == readWholeFile(imagePath)) << "the reply is the file the pad wrote";

    EXPECT_EQ(ask(R"({"FuncName":"EndSignMode"})"), R"({"FuncName":"EndSignMode","result":"0"})");
    EXPECT_EQ(ask(R"({"FuncName":"BeginSignMode"})"),
              R"({"FuncName":"BeginSignMode","result":"0"})");
    EXPECT_EQ(ask(R"({"FuncName":"SetSignDeviceSN","argument":{"sn":"1"}})"),
              R"({"FuncName":"SetSignDeviceSN","result":""})");
    EXPECT_EQ(resultOf(ask(R"({"FuncName":"XoOutputImageBase64","argument":{"filePath":")" +
                           server_.root().file("s.bmp") + R"("}})"),
                       "XoOutputImageBase64"),
              "")
        << "a format the pad cannot write gives no image";
}

TEST_F(FilesEndToEnd, WithoutAPadStartingSaysSo) {
    start(
        R"({"families": {"camera": false, "cards": false, "biometrics": false, "recognition": false,)"
        R"( "signpad": false}})");
    EXPECT_EQ(ask(R"({"FuncName":"StartSignDevice"})"),
              R"({"FuncName":"StartSignDevice","result":"-3"})");
    EXPECT_EQ(ask(R"({"FuncName":"EndSignMode"})"), R"({"FuncName":"EndSignMode","result":"-3"})");
}

}  // namespace
}  // namespace lenvaro::testing
