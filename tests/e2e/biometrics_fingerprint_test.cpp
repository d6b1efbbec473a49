// Fingerprints end to end: the real executable on the built-in library's simulated sensor, with
// a sequence of fingers of the test's own, spoken to over a WebSocket.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "server_process.h"
#include "test_files.h"
#include "ws_test_client.h"

namespace lenvaro::testing {
namespace {

// Touches 0, 1, 3, 4, 6 ... bring the right thumb, touches 2, 5, 8 ... the left index.
constexpr char kFingers[] = R"({"cameras": {"simulated": false},
    "fingerprint": {"touches": ["right thumb", "right thumb", "left index"]}})";

class FingerprintServer : public ::testing::Test {
protected:
    void SetUp() override {
        ServerProcess::Options options;
        options.simulatorJson = std::string(kFingers);
        server_ = std::make_unique<ServerProcess>(options);
        const uint16_t port = server_->start();
        ASSERT_NE(port, 0) << server_->standardError();
        ASSERT_TRUE(page_.connect(port));
    }

    // The collected images go to the documents folder of the server's private home.
    std::string home() const { return server_->home(); }
    std::string file(const std::string& name) const { return server_->root().file(name); }

    // The result of a quoted reply to `name`.
    std::string result(const std::string& name, const std::string& argument = "{}") {
        const std::optional<std::string> reply =
            page_.roundTrip(R"({"FuncName":")" + name + R"(","argument":)" + argument + "}",
                            std::chrono::seconds(20));
        if (!reply) return "<no reply>";
        const std::string head = R"({"FuncName":")" + name + R"(","result":")";
        if (reply->rfind(head, 0) != 0 || reply->size() < head.size() + 2)
            return "<" + *reply + ">";
        return reply->substr(head.size(), reply->size() - head.size() - 2);
    }

    int score(const std::string& name, const std::string& argument = "{}") {
        const std::string text = result(name, argument);
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        EXPECT_TRUE(!text.empty() && *end == '\0') << name << " answered " << text;
        return static_cast<int>(value);
    }

    // GetFingerprint into two files of the test's own; the image and feature texts.
    std::pair<std::string, std::string> getFingerprint(const std::string& bmp,
                                                       const std::string& feature) {
        const std::optional<std::string> reply =
            page_.roundTrip(R"({"FuncName":"GetFingerprint","argument":{"bmpPath":")" + file(bmp) +
                                R"(","FeaturePath":")" + file(feature) + R"("}})",
                            std::chrono::seconds(20));
        const std::string head = "$*$GetFingerprint$*$";
        if (!reply || reply->rfind(head, 0) != 0) {
            ADD_FAILURE() << "GetFingerprint answered " << reply.value_or("nothing");
            return {};
        }
        const std::string texts = reply->substr(head.size());
        const size_t separator = texts.find("$*$");
        return {texts.substr(0, separator), texts.substr(separator + 3)};
    }

    std::unique_ptr<ServerProcess> server_;
    WsTestClient page_;
};

TEST_F(FingerprintServer, TheSlotsScoreOneFingerHighAndTwoFingersLow) {
    EXPECT_EQ(result("CompareFingerFeature"), "-100");
    EXPECT_EQ(result("fingerprintInit"), "0");

    EXPECT_EQ(result("CollectFingerFeature", R"({"number":1})"), "0");  // right thumb
    EXPECT_EQ(result("CollectFingerFeature", R"({"number":2})"), "0");  // right thumb
    const int sameFinger = score("CompareFingerFeature");
    EXPECT_GE(sameFinger, 80);
    EXPECT_LE(sameFinger, 100);
    EXPECT_EQ(result("CompareFingerFeature"), "-100");  // the comparison used both up

    EXPECT_EQ(result("CollectFingerFeature", R"({"number":1})"), "0");  // left index
    EXPECT_EQ(result("CollectFingerFeature", R"({"number":2})"), "0");  // right thumb
    const int twoFingers = score("CompareFingerFeature");
    EXPECT_GE(twoFingers, 0);
    EXPECT_LE(twoFingers, 20);

    // Every collected image stays in the documents folder as a bitmap, under a tick name.
    const std::vector<std::string> images = filesIn(home() + "/Documents");
    EXPECT_EQ(images.size(), 4u);
    for (const std::string& name : images) {
        EXPECT_EQ(name.substr(name.size() - 5), "..bmp") << name;
        const std::string bytes = readWholeFile(home() + "/Documents/" + name);
        EXPECT_EQ(bytes.size(), 262144u);
        EXPECT_EQ(bytes.substr(0, 2), "BM");
    }
}

TEST_F(FingerprintServer, FilesAndTextsOfGetFingerprintCompareAsTheFingersDo) {
    const auto [thumbImage, thumbText] = getFingerprint("thumb.bmp", "thumb.dat");
    const auto [againImage, againText] = getFingerprint("again.bmp", "again.dat");
    const auto [indexImage, indexText] = getFingerprint("index.bmp", "index.dat");
    EXPECT_EQ(thumbImage.size(), 358726u);
    EXPECT_EQ(thumbText.size(), 1402u);
    EXPECT_EQ(readWholeFile(file("thumb.bmp")).substr(0, 2), "BM");
    EXPECT_EQ(readWholeFile(file("thumb.dat")).size(), 1024u);

    const auto contrastFiles = [&](const std::string& a, const std::string& b) {
        return score("ContrastFingerprint", R"({"FeaturePath1":")" + file(a) +
                                                R"(","FeaturePath2":")" + file(b) + R"("})");
    };
    EXPECT_GE(contrastFiles("thumb.dat", "again.dat"), 80);
    EXPECT_LE(contrastFiles("thumb.dat", "index.dat"), 20);
    EXPECT_EQ(contrastFiles("thumb.dat", "missing.dat"), 5);

    // The texts as the page received them, line breaks and all (JSON needs them escaped).
    const auto escaped = [](std::string text) {
        std::string out;
        for (char c : text)
            out += c == '\r'   ? std::string("\\r")
                   : c == '\n' ? std::string("\\n")
                               : std::string(1, c);
        return out;
    };
    const auto contrastTexts = [&](const std::string& a, const std::string& b) {
        return score("ContrastFingerprintBase64", R"({"Base64FPFeature1":")" + escaped(a) +
                                                      R"(","Base64FPFeature2":")" + escaped(b) +
                                                      R"("})");
    };
    EXPECT_GE(contrastTexts(thumbText, againText), 80);
    EXPECT_LE(contrastTexts(indexText, againText), 20);
    EXPECT_EQ(contrastTexts("Q", thumbText), 5);
}

}  // namespace
}  // namespace lenvaro::testing
