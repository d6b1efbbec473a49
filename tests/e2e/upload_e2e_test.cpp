// Uploads end to end: a page asks the real executable on the built-in library, which sends the
// file to servers on 127.0.0.1 that this test starts.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "../pictavo/upload/loopback_servers.h"
#include "server_process.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

using namespace std::chrono_literals;
using upload_test::FtpServer;
using upload_test::HttpServer;

// Every byte value, zero included, so that a transfer that alters or cuts any byte shows.
std::string binaryContent(size_t size) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += static_cast<char>((i * 97 + i / 256) & 0xFF);
    return bytes;
}

class UploadEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        // Only the upload family, with short limits so that a dead server is given up soon.
        std::ofstream(server_.root().file("simulator.json"))
            << R"({"families": {"camera": false, "cards": false, "biometrics": false,)"
               R"( "recognition": false, "signpad": false},)"
               R"( "upload": {"connectTimeoutMs": 1000, "transferTimeoutMs": 2000}})";
        server_.setEnvironment("PICTAVO_CONFIG", server_.root().file("simulator.json"));
        const uint16_t port = server_.start();
        ASSERT_NE(port, 0) << server_.standardError();
        ASSERT_TRUE(page_.connect(port));
    }
    std::string localFile(const std::string& name, const std::string& content) {
        const std::string path = server_.root().file(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string httpUpload(const std::string& path, const std::string& url,
                           const std::string& param) {
        return page_
            .roundTrip(R"({"FuncName":"camUpdataFileHttp","argument":{"filePath":")" + path +
                           R"(","url":")" + url + R"(","param":")" + param + R"("}})",
                       20s)
            .value_or("<no reply>");
    }
    std::string ftpUpload(const std::string& path, const std::string& location,
                          const std::string& password, int port, const std::string& target) {
        return page_
            .roundTrip(R"({"FuncName":"camUpdataFileFtp","argument":{"strfilePath":")" + path +
                           R"(","strftpPath":")" + location +
                           R"(","struserName":"scanner","struserPsd":")" + password +
                           R"(","iPort":)" + std::to_string(port) + R"(,"strtargetName":")" +
                           target + R"("}})",
                       20s)
            .value_or("<no reply>");
    }

    ServerProcess server_;
    WsTestClient page_;
};

TEST_F(UploadEndToEnd, HttpSendsTheFileAndTheFieldsAndEmbedsAJsonAnswer) {
    HttpServer web(200, R"({"code":0,"id":"A-17"})");
    const std::string content = binaryContent(120 * 1024);
    const std::string path = localFile("scan.jpg", content);
    EXPECT_EQ(httpUpload(path, web.url(), "user=ann&batch=7"),
              R"({"FuncName":"camUpdataFileHttp","result":{"code":0,"id":"A-17"}})");
    const auto requests = web.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto parts = requests[0].parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].name + "=" + parts[0].data, "user=ann");
    EXPECT_EQ(parts[1].name + "=" + parts[1].data, "batch=7");
    EXPECT_EQ(parts[2].name, "file");
    EXPECT_EQ(parts[2].fileName, "scan.jpg");
    EXPECT_TRUE(parts[2].data == content) << "the file's bytes arrived altered";
}

TEST_F(UploadEndToEnd, HttpQuotesAPlainAnswerAndPassesARefusalOn) {
    const std::string path = localFile("a.png", "png");
    HttpServer plain(200, "OK");
    EXPECT_EQ(httpUpload(path, plain.url(), ""),
              R"({"FuncName":"camUpdataFileHttp","result":"OK"})");
    HttpServer refusing(500, R"({"error":"disk full"})");
    EXPECT_EQ(httpUpload(path, refusing.url(), ""),
              R"({"FuncName":"camUpdataFileHttp","result":{"error":"disk full"}})");
}

TEST_F(UploadEndToEnd, AnUnreachableServerIsAnsweredWithinTheTimeLimit) {
    const std::string path = localFile("a.png", "png");
    HttpServer silent(200, "", true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpUpload(path, silent.url(), ""),
              R"({"FuncName":"camUpdataFileHttp","result":""})");
    EXPECT_EQ(
        httpUpload(path, "http://127.0.0.1:" + std::to_string(upload_test::freePort()) + "/", ""),
        R"({"FuncName":"camUpdataFileHttp","result":""})");
    EXPECT_EQ(ftpUpload(path, "127.0.0.1", "pw", upload_test::freePort(), "a.png"),
              R"({"FuncName":"camUpdataFileFtp","result":"-1"})");
    // The service is free again: the next request is answered at once.
    EXPECT_EQ(page_.roundTrip(R"({"FuncName":"SetSignDeviceSN"})"),
              R"({"FuncName":"SetSignDeviceSN","result":""})");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST_F(UploadEndToEnd, FtpStoresTheExactBytesAndNeverShowsThePassword) {
    const std::string home = server_.root().file("ftp-home");
    std::filesystem::create_directory(home);
    FtpServer ftp(home, "scanner", "pass-7Q2x");
    ASSERT_NE(ftp.port(), 0)
        << "the FTP server did not start (scripts/setup installs python3-pyftpdlib)";
    const std::string content = binaryContent(90 * 1024 + 3);
    const std::string path = localFile("scan.jpg", content);

    EXPECT_EQ(ftpUpload(path, "ftp://127.0.0.1/in", "pass-7Q2x", ftp.port(), "stored.jpg"),
              R"({"FuncName":"camUpdataFileFtp","result":"0"})");
    EXPECT_TRUE(readWholeFile(home + "/in/stored.jpg") == content) << "the stored bytes differ";

    EXPECT_EQ(ftpUpload(path, "127.0.0.1", "wrong", ftp.port(), "other.jpg"),
              R"({"FuncName":"camUpdataFileFtp","result":"-1"})");
    EXPECT_FALSE(std::filesystem::exists(home + "/other.jpg"));
    server_.stop();
    EXPECT_EQ(server_.standardOutput().find("pass-7Q2x"), std::string::npos);
    EXPECT_EQ(server_.standardError().find("pass-7Q2x"), std::string::npos);
    // Neither the temporary folder nor the runtime folder (scratch files, logs) holds it.
    for (const std::string& folder : {server_.tmp(), server_.runtimeDir()}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            if (!entry.is_regular_file()) continue;
            EXPECT_EQ(readWholeFile(entry.path().string()).find("pass-7Q2x"), std::string::npos)
                << entry.path();
        }
    }
}

}  // namespace
}  // namespace lenvaro::testing
