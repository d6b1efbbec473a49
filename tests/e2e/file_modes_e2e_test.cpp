// The files a page has the service write, through the real executable on the built-in library
// under the umasks users have: documents as the umask says, a replaced file keeping its mode,
// biometric data and card photos private, and a file that cannot be written answered as a
// failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class FileModes : public ::testing::TestWithParam<mode_t> {
protected:
    void SetUp() override {
        ServerProcess::Options options;
        options.umask = GetParam();
        // The simulated devices, no real camera of this computer.
        options.simulatorJson = R"({"cameras": {"real": false}})";
        server_ = std::make_unique<ServerProcess>(options);
        const uint16_t port = server_->start();
        ASSERT_NE(port, 0) << server_->standardError();
        ASSERT_TRUE(page_.connect(port));
    }

    std::string file(const std::string& name) const { return server_->tmp() + "/" + name; }

    // The answer to `request`, passing over preview frames.
    std::string ask(const std::string& request) {
        page_.send(request);
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto message = page_.receive(1s);
            if (message && message->rfind("$*$", 0) == 0 && message->rfind("$*$GetFingerprint", 0) != 0) continue;
            if (message) return *message;
        }
        return "<no answer>";
    }

    std::string capture(const std::string& path) {
        return ask(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" + path + R"("}})");
    }

    std::unique_ptr<ServerProcess> server_;
    WsTestClient page_;
};

TEST_P(FileModes, DocumentsFollowTheUmaskReplacedFilesKeepTheirModeBiometricsArePrivate) {
    const mode_t document = 0666 & ~GetParam();
    ASSERT_EQ(ask(R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":0,"width":640,"height":480}})"),
              R"({"FuncName":"camOpenDev","result":"0"})");

    EXPECT_EQ(capture(file("new.jpg")), R"({"FuncName":"camCaptureImageFile","result":"0"})");
    EXPECT_EQ(modeOf(file("new.jpg")), document);

    // A capture over a file the user shares with a group keeps it shared.
    std::ofstream(file("shared.jpg")) << "old";
    ASSERT_EQ(chmod(file("shared.jpg").c_str(), 0640), 0);
    EXPECT_EQ(capture(file("shared.jpg")), R"({"FuncName":"camCaptureImageFile","result":"0"})");
    EXPECT_EQ(modeOf(file("shared.jpg")), 0640u);
    EXPECT_GT(readWholeFile(file("shared.jpg")).size(), 3u) << "the capture replaced it";

    ASSERT_EQ(ask(R"({"FuncName":"camAddFileToPDFList","argument":{"filePath":")" + file("new.jpg") + R"("}})"),
              R"({"FuncName":"camAddFileToPDFList","result":"0"})");
    EXPECT_EQ(ask(R"({"FuncName":"camCombinePDF","argument":{"filePath":")" + file("doc.pdf") + R"("}})"),
              R"({"FuncName":"camCombinePDF","result":"0"})");
    EXPECT_EQ(modeOf(file("doc.pdf")), document);

    // A card photo and fingerprints are the user's alone, whatever the umask.
    ask(R"({"FuncName":"idcardrfidReadIDCard","argument":{"HeadPath":")" + file("head.bmp") + R"("}})");
    EXPECT_EQ(modeOf(file("head.bmp")), 0600u);
    const std::string fingerprint = ask(R"({"FuncName":"GetFingerprint","argument":{"bmpPath":")" +
                                        file("finger.bmp") + R"(","FeaturePath":")" + file("finger.dat") + R"("}})");
    EXPECT_EQ(fingerprint.rfind("$*$GetFingerprint$*$", 0), 0u) << fingerprint.substr(0, 80);
    EXPECT_EQ(modeOf(file("finger.bmp")), 0600u);
    EXPECT_EQ(modeOf(file("finger.dat")), 0600u);

    // A capture that cannot be written is a failure, not a success.
    EXPECT_EQ(capture(file("missing/x.jpg")), R"({"FuncName":"camCaptureImageFile","result":"-5"})");
}

INSTANTIATE_TEST_SUITE_P(Umasks, FileModes, ::testing::Values(mode_t{022}, mode_t{077}),
                         [](const auto& info) { return "Umask0" + std::to_string(info.param == 022 ? 22 : 77); });

}  // namespace
}  // namespace lenvaro::testing
