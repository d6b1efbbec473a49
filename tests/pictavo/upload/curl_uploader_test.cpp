// The libcurl uploader against real servers on 127.0.0.1, and how it reads the page's texts.
#include "pictavo/upload/curl_uploader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../temp_dir.h"
#include "loopback_servers.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using pictavo_test::TempDir;
using upload_test::FtpServer;
using upload_test::HttpServer;
using upload_test::Part;

// Every byte value, several times over, so that a transfer that alters any byte shows.
std::string binaryContent(size_t size) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += static_cast<char>((i * 131 + i / 256) & 0xFF);
    return bytes;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

UploadSettings quickSettings() {
    UploadSettings settings;
    settings.connectTimeoutMs = 2000;
    settings.transferTimeoutMs = 5000;
    return settings;
}

TEST(FormFields, SplitsTheParameterTextIntoNamedFields) {
    const std::vector<FormField> fields = formFields("a=1&b=x y&&c=&d&e=f=g&%41%3d=%26%zz+1");
    ASSERT_EQ(fields.size(), 6u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"a", "1"}, {"b", "x y"}, {"c", ""}, {"d", ""}, {"e", "f=g"}, {"A=", "&%zz+1"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(fields[i].name, expected[i].first) << i;
        EXPECT_EQ(fields[i].value, expected[i].second) << i;
    }
    EXPECT_TRUE(formFields("").empty());
    EXPECT_TRUE(formFields("&&").empty());
    EXPECT_EQ(formFields("sig=QUJD+/9=").at(0).value, "QUJD+/9=");
}

TEST(FtpLocation, AcceptsTheFormsPagesWrite) {
    const std::vector<std::pair<FtpTarget, std::string>> cases = {
        {{"ftp://files.example/in", "", "", 0, "a.jpg"}, "ftp://files.example:21/in/a.jpg"},
        {{"FTP://h/in/", "", "", 2121, "a.jpg"}, "ftp://h:2121/in/a.jpg"},
        {{"h:2100/a/b", "", "", 0, "a.jpg"}, "ftp://h:2100/a/b/a.jpg"},
        {{"h:2100/a", "", "", 21, "a.jpg"}, "ftp://h:21/a/a.jpg"},
        {{"h", "", "", 0, "a.jpg"}, "ftp://h:21/a.jpg"},
        {{"h\\in\\day 1", "", "", 0, "x y#.jpg"}, "ftp://h:21/in/day%201/x%20y%23.jpg"},
        {{"h//./in", "", "", 0, ""}, "ftp://h:21/in/local.png"},
        {{"[::1]:2121/in", "", "", 0, "a"}, "ftp://[::1]:2121/in/a"},
        {{"10.0.0.5/in", "", "", 0, "\xE7\xAD\xBE.png"}, "ftp://10.0.0.5:21/in/%E7%AD%BE.png"},
    };
    for (const auto& [target, expected] : cases) {
        std::string url;
        EXPECT_EQ(ftpUrl(target, "/tmp/local.png", url), kOk) << target.directory;
        EXPECT_EQ(url, expected) << target.directory;
    }
}

TEST(FtpLocation, RefusesWhatNamesNoFtpServer) {
    const std::vector<FtpTarget> refused = {
        {"http://h/in", "", "", 0, "a"},
        {"sftp://h/in", "", "", 0, "a"},
        {"", "", "", 0, "a"},
        {"/in", "", "", 0, "a"},
        {"me@h/in", "", "", 0, "a"},
        {"h?x=1/in", "", "", 0, "a"},
        {"h:99999/in", "", "", 0, "a"},
        {"h:/in", "", "", 0, "a"},
        {"h/in", "", "", -1, "a"},
        {"h/in", "", "", 65536, "a"},
        {"a:1:2/in", "", "", 0, "a"},
        {"[::1/in", "", "", 0, "a"},
    };
    for (const FtpTarget& target : refused) {
        std::string url = "untouched";
        EXPECT_EQ(ftpUrl(target, "/tmp/local.png", url), kInvalidArgument) << target.directory;
        EXPECT_EQ(url, "untouched");
    }
    std::string url;
    EXPECT_EQ(ftpUrl({"h/in", "", "", 0, ""}, "/tmp/", url), kInvalidArgument) << "no name at all";
}

TEST(UploadConfig, ReadsTheTimeLimitsAndRefusesOthers) {
    Json::Value section(Json::objectValue);
    section["connectTimeoutMs"] = 100;
    section["transferTimeoutMs"] = 3600000;
    UploadSettings settings;
    EXPECT_EQ(readUploadSettings(section, settings), "");
    EXPECT_EQ(settings.connectTimeoutMs, 100);
    EXPECT_EQ(settings.transferTimeoutMs, 3600000);
    const std::vector<std::pair<std::string, Json::Value>> wrong = {{"connectTimeoutMs", 99},
                                                                    {"connectTimeoutMs", 600001},
                                                                    {"transferTimeoutMs", 0},
                                                                    {"transferTimeoutMs", 1.5},
                                                                    {"proxy", "h"}};
    for (const auto& [key, value] : wrong) {
        Json::Value bad(Json::objectValue);
        bad[key] = value;
        EXPECT_NE(readUploadSettings(bad, settings), "") << key;
    }
    Config config;
    config.document["upload"]["transferTimeoutMs"] = -1;
    EXPECT_EQ(config.uploadSettings().transferTimeoutMs, UploadSettings{}.transferTimeoutMs);
}

class HttpUpload : public ::testing::Test {
  protected:
    std::string file(const std::string& name, const std::string& content) {
        return dir_.write(name, content);
    }
    TempDir dir_;
    CurlUploader uploader_{quickSettings()};
};

TEST_F(HttpUpload, PostsTheFileAndTheFieldsAsAMultipartForm) {
    HttpServer server(200, R"({"code":0,"saved":"scan 1.jpg"})");
    const std::string content = binaryContent(300 * 1024);
    const std::string path = file("scan 1.jpg", content);
    std::string answer;
    ASSERT_EQ(uploader_.postHttp(path, server.url("/up?x=1"), "user=ann&id=%E7%AD%BE", answer),
              kOk);
    EXPECT_EQ(answer, R"({"code":0,"saved":"scan 1.jpg"})");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/up?x=1");
    EXPECT_EQ(requests[0].header("expect"), "");
    const std::vector<Part> parts = requests[0].parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].name, "user");
    EXPECT_EQ(parts[0].data, "ann");
    EXPECT_FALSE(parts[0].fileName.has_value());
    EXPECT_EQ(parts[1].name, "id");
    EXPECT_EQ(parts[1].data, "\xE7\xAD\xBE");
    EXPECT_EQ(parts[2].name, "file");
    EXPECT_EQ(parts[2].fileName, "scan 1.jpg");
    EXPECT_EQ(parts[2].contentType, "image/jpeg");
    EXPECT_TRUE(parts[2].data == content) << "the file's bytes arrived altered";
}

TEST_F(HttpUpload, SendsAnEmptyFileAndNoFieldsForAnEmptyText) {
    HttpServer server(201, "OK");
    std::string answer;
    ASSERT_EQ(uploader_.postHttp(file("empty.dat", ""), server.url(), "", answer), kOk);
    EXPECT_EQ(answer, "OK");
    const std::vector<Part> parts = server.requests().at(0).parts();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].name, "file");
    EXPECT_EQ(parts[0].contentType, "application/octet-stream");
    EXPECT_EQ(parts[0].data, "");
}

TEST_F(HttpUpload, ARefusalFailsButKeepsWhatTheServerSaid) {
    HttpServer server(413, R"({"error":"too large"})");
    std::string answer;
    EXPECT_EQ(uploader_.postHttp(file("a.png", "png"), server.url(), "", answer), kFailed);
    EXPECT_EQ(answer, R"({"error":"too large"})");
}

TEST_F(HttpUpload, KeepsNoMoreOfTheAnswerThanTheCallerCanHold) {
    const std::string huge(kHttpAnswerCapacity * 3, 'z');
    HttpServer server(200, huge);
    std::string answer;
    EXPECT_EQ(uploader_.postHttp(file("a.png", "png"), server.url(), "", answer), kOk);
    EXPECT_EQ(answer.size(), kHttpAnswerCapacity - 1);
    EXPECT_EQ(answer, huge.substr(0, kHttpAnswerCapacity - 1));
}

TEST_F(HttpUpload, RefusesWhatIsNoRegularFileBeforeConnecting) {
    HttpServer server;
    std::string answer = "old";
    EXPECT_EQ(uploader_.postHttp(dir_.file("missing.jpg"), server.url(), "", answer), kFileError);
    EXPECT_EQ(uploader_.postHttp(dir_.path().string(), server.url(), "", answer), kFileError);
    const std::string fifo = dir_.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(uploader_.postHttp(fifo, server.url(), "", answer), kFileError);
    EXPECT_EQ(answer, "");
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(HttpUpload, SpeaksOnlyHttp) {
    const std::string path = file("a.png", "png");
    std::string answer;
    for (const std::string& url :
         std::vector<std::string>{"file://" + path, "ftp://127.0.0.1:1/a", "gopher://127.0.0.1/"}) {
        EXPECT_EQ(uploader_.postHttp(path, url, "", answer), kInvalidArgument) << url;
    }
}

TEST_F(HttpUpload, GivesUpOnADeadServerWithinTheTimeLimits) {
    UploadSettings settings;
    settings.connectTimeoutMs = 300;
    settings.transferTimeoutMs = 700;
    CurlUploader impatient(settings);
    const std::string path = file("a.png", "png");
    std::string answer;
    EXPECT_EQ(impatient.postHttp(
                  path, "http://127.0.0.1:" + std::to_string(upload_test::freePort()) + "/", "",
                  answer),
              kFailed);
    HttpServer silent(200, "", true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(impatient.postHttp(path, silent.url(), "", answer), kFailed);
    // Generous bound: only a hang (no limit applied) fails here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(answer, "");
}

class FtpUpload : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(root_.path() / "home");
        server_ =
            std::make_unique<FtpServer>((root_.path() / "home").string(), "scanner", "s3cret pass");
        ASSERT_NE(server_->port(), 0)
            << "the FTP server did not start (scripts/setup installs python3-pyftpdlib)";
    }
    std::string home(const std::string& relative) const {
        return (root_.path() / "home" / relative).string();
    }
    std::string location(const std::string& folder) const {
        return "ftp://127.0.0.1:" + std::to_string(server_->port()) + folder;
    }

    TempDir root_;
    TempDir local_;
    std::unique_ptr<FtpServer> server_;
    CurlUploader uploader_{quickSettings()};
};

TEST_F(FtpUpload, StoresTheExactBytesUnderTheTargetName) {
    const std::string content = binaryContent(200 * 1024 + 7);
    const std::string path = local_.write("scan.jpg", content);
    EXPECT_EQ(uploader_.putFtp(path, {location(""), "scanner", "s3cret pass", 0, "stored.jpg"}),
              kOk);
    EXPECT_TRUE(readAll(home("stored.jpg")) == content) << "the stored bytes differ";
}

TEST_F(FtpUpload, CreatesMissingFoldersAndTakesThePortArgument) {
    const std::string path = local_.write("local name.png", "picture");
    const std::string bare = "127.0.0.1\\in\\2024 05";
    EXPECT_EQ(uploader_.putFtp(path, {bare, "scanner", "s3cret pass", server_->port(), ""}), kOk);
    EXPECT_EQ(readAll(home("in/2024 05/local name.png")), "picture");
    // A second store replaces the file.
    const std::string newer = local_.write("newer.png", "newer picture");
    EXPECT_EQ(uploader_.putFtp(newer,
                               {bare, "scanner", "s3cret pass", server_->port(), "local name.png"}),
              kOk);
    EXPECT_EQ(readAll(home("in/2024 05/local name.png")), "newer picture");
}

TEST_F(FtpUpload, FailsForAWrongPasswordOrAnUnknownUser) {
    const std::string path = local_.write("a.png", "a");
    EXPECT_EQ(uploader_.putFtp(path, {location("/"), "scanner", "wrong", 0, "a.png"}), kFailed);
    EXPECT_EQ(uploader_.putFtp(path, {location("/"), "", "", 0, "a.png"}), kFailed) << "anonymous";
    EXPECT_FALSE(std::filesystem::exists(home("a.png")));
}

TEST_F(FtpUpload, ChecksTheLocalFileAndTheLocationFirst) {
    EXPECT_EQ(
        uploader_.putFtp(local_.file("missing"), {location("/"), "scanner", "s3cret pass", 0, "a"}),
        kFileError);
    const std::string path = local_.write("a.png", "a");
    EXPECT_EQ(uploader_.putFtp(path, {"http://127.0.0.1/", "scanner", "s3cret pass", 0, "a"}),
              kInvalidArgument);
    EXPECT_EQ(uploader_.putFtp(path, {location("/"), "scanner", "s3cret pass", -5, "a"}),
              kInvalidArgument);
}

TEST_F(FtpUpload, AClosedPortFailsAtOnce) {
    const std::string path = local_.write("a.png", "a");
    EXPECT_EQ(uploader_.putFtp(
                  path, {"127.0.0.1", "scanner", "s3cret pass", upload_test::freePort(), "a"}),
              kFailed);
}

}  // namespace
