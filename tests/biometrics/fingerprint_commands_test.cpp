// Fingerprint commands through the recording fake: the slot life cycle, the files and Base64
// texts of the stateless commands, and the results the service answers by itself.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fake_pictavo.h"
#include "common/base64.h"
#include "common/paths.h"
#include "command_test.h"
#include "private_home.h"
#include "test_files.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

constexpr size_t kImageBytes = 262144;
constexpr size_t kFeatureBytes = 1024;

// Bytes that differ from position to position, so a shifted or cut copy shows.
Bytes pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

class FingerprintCommands : public lenvaro::testing::CommandTest {
protected:
    static Texts calls(const std::string& function) { return Fake::callLog(function); }

    // A touch of the sensor that gives `image` and `raw`, and a feature extraction giving
    // `feature`.
    static void programFinger(const Bytes& image, const Bytes& raw, const Bytes& feature,
                              int featureStatus = 0) {
        Fake::program("fingerprintGetImage", Outcome::returns(0).withBytes({image, raw}));
        Fake::program("fingerprintGetFeature",
                      Outcome::returns(featureStatus).withBytes({feature}));
    }

    // Collects into slot `number` a finger whose feature is `feature`.
    void collect(const std::string& numberJson, const Bytes& feature) {
        programFinger(pattern(kImageBytes, 1), pattern(kImageBytes, 2), feature);
        request(R"({"FuncName":"CollectFingerFeature","argument":{"number":)" + numberJson + "}}");
    }

    // The two features of the last fingerprintContrast call.
    static std::vector<Bytes> lastContrastInputs() {
        std::vector<Bytes> inputs;
        for (const pictavo_fake::Call& call : Fake::calls()) {
            if (call.function == "fingerprintContrast") inputs = call.inputBytes;
        }
        return inputs;
    }

    static std::string reply(const std::string& name, const std::string& result) {
        return R"({"FuncName":")" + name + R"(","result":")" + result + R"("})";
    }

    PrivateHome home_;
};

TEST_F(FingerprintCommands, SlotsStartEmptySoACompareBeforeInitAnswersMinus100) {
    EXPECT_EQ(request(R"({"FuncName":"CompareFingerFeature"})"),
              Texts{reply("CompareFingerFeature", "-100")});
    EXPECT_TRUE(harness_.calls().empty());
}

TEST_F(FingerprintCommands, InitRepliesItsStatusAndEmptiesBothSlots) {
    collect("1", pattern(kFeatureBytes, 10));
    collect("2", pattern(kFeatureBytes, 20));
    Fake::program("fingerprintInit", Outcome::returns(-7));
    EXPECT_EQ(request(R"({"FuncName":"fingerprintInit"})"), Texts{reply("fingerprintInit", "-7")});
    EXPECT_EQ(request(R"({"FuncName":"CompareFingerFeature"})"),
              Texts{reply("CompareFingerFeature", "-100")});
    EXPECT_TRUE(calls("fingerprintContrast").empty());
}

TEST_F(FingerprintCommands, UnInitRepliesItsStatusAndKeepsTheSlots) {
    collect("1", pattern(kFeatureBytes, 10));
    collect("2", pattern(kFeatureBytes, 20));
    Fake::program("fingerprintUnInit", Outcome::returns(3));
    EXPECT_EQ(request(R"({"FuncName":"fingerprintUnInit"})"),
              Texts{reply("fingerprintUnInit", "3")});
    Fake::program("fingerprintContrast", Outcome::returns(91));
    EXPECT_EQ(request(R"({"FuncName":"CompareFingerFeature"})"),
              Texts{reply("CompareFingerFeature", "91")});
}

TEST_F(FingerprintCommands, CompareTakesSlotOneThenSlotTwoAndConsumesBoth) {
    const Bytes first = pattern(kFeatureBytes, 10);
    const Bytes second = pattern(kFeatureBytes, 20);
    collect("2", second);
    collect("1", first);
    Fake::program("fingerprintContrast", Outcome::returns(87));
    EXPECT_EQ(request(R"({"FuncName":"CompareFingerFeature"})"),
              Texts{reply("CompareFingerFeature", "87")});
    EXPECT_EQ(lastContrastInputs(), (std::vector<Bytes>{first, second}));

    // The comparison consumed both features.
    EXPECT_EQ(request(R"({"FuncName":"CompareFingerFeature"})"),
              Texts{reply("CompareFingerFeature", "-100")});
    EXPECT_EQ(calls("fingerprintContrast").size(), 1u);
}

TEST_F(FingerprintCommands, OnlyNumberOneSelectsSlotOne) {
    const Bytes first = pattern(kFeatureBytes, 10);
    for (const std::string number : {"0", "2", "-1", "\"1\"", "1.0", "null"}) {
        SCOPED_TRACE(number);
        collect("1", first);
        const Bytes other = pattern(kFeatureBytes, 30);
        collect(number, other);
        request(R"({"FuncName":"CompareFingerFeature"})");
        EXPECT_EQ(lastContrastInputs(), (std::vector<Bytes>{first, other}));
    }
    // No "number" at all reads as 0 too.
    collect("1", first);
    programFinger(pattern(kImageBytes, 1), pattern(kImageBytes, 2), pattern(kFeatureBytes, 40));
    request(R"({"FuncName":"CollectFingerFeature"})");
    request(R"({"FuncName":"CompareFingerFeature"})");
    EXPECT_EQ(lastContrastInputs(), (std::vector<Bytes>{first, pattern(kFeatureBytes, 40)}));
}

TEST_F(FingerprintCommands, CollectingSlotOneTwiceOverwritesItAndLeavesSlotTwoEmpty) {
    collect("1", pattern(kFeatureBytes, 10));
    collect("1", pattern(kFeatureBytes, 11));
    EXPECT_EQ(request(R"({"FuncName":"CompareFingerFeature"})"),
              Texts{reply("CompareFingerFeature", "-100")});
    collect("2", pattern(kFeatureBytes, 20));
    request(R"({"FuncName":"CompareFingerFeature"})");
    EXPECT_EQ(lastContrastInputs(),
              (std::vector<Bytes>{pattern(kFeatureBytes, 11), pattern(kFeatureBytes, 20)}));
}

TEST_F(FingerprintCommands, CollectExtractsFromTheRawScanIntoACleanSlotAndRepliesItsStatus) {
    const Bytes raw = pattern(kImageBytes, 5);
    programFinger(pattern(kImageBytes, 4), raw, pattern(kFeatureBytes, 10), -12);
    EXPECT_EQ(request(R"({"FuncName":"CollectFingerFeature","argument":{"number":1}})"),
              Texts{reply("CollectFingerFeature", "-12")});
    EXPECT_EQ(harness_.calls(), Texts({"fingerprintGetImage(zeroed[262144], zeroed[262144])",
                                       "fingerprintGetFeature(bytes[262144], zeroed[1024])"}));
    EXPECT_EQ(Fake::calls()[1].inputBytes, std::vector<Bytes>{raw});
}

TEST_F(FingerprintCommands, AFailedFeatureStillFillsTheSlotWithWhatTheLibraryLeft) {
    // The slot is written whatever the call returns, so it is no longer empty: a library that
    // wrote nothing leaves a cleared feature, never the previous finger.
    collect("1", pattern(kFeatureBytes, 10));
    Fake::program("fingerprintGetImage", Outcome::returns(0));
    Fake::program("fingerprintGetFeature", Outcome::returns(-1));
    request(R"({"FuncName":"CollectFingerFeature","argument":{"number":1}})");
    collect("2", pattern(kFeatureBytes, 20));
    request(R"({"FuncName":"CompareFingerFeature"})");
    EXPECT_EQ(lastContrastInputs(),
              (std::vector<Bytes>{Bytes(kFeatureBytes, 0), pattern(kFeatureBytes, 20)}));
}

TEST_F(FingerprintCommands, NoImageAnswersMinus1AndTouchesNeitherSlotNorFile) {
    collect("1", pattern(kFeatureBytes, 10));
    collect("2", pattern(kFeatureBytes, 20));
    const size_t filesBefore = filesIn(home_.documents()).size();
    Fake::clearCalls();
    Fake::program("fingerprintGetImage", Outcome::returns(7).withBytes({pattern(kImageBytes, 1)}));
    EXPECT_EQ(request(R"({"FuncName":"CollectFingerFeature","argument":{"number":1}})"),
              Texts{reply("CollectFingerFeature", "-1")});
    EXPECT_EQ(harness_.calls(), Texts{"fingerprintGetImage(zeroed[262144], zeroed[262144])"});
    EXPECT_EQ(filesIn(home_.documents()).size(), filesBefore);
    request(R"({"FuncName":"CompareFingerFeature"})");
    EXPECT_EQ(lastContrastInputs(),
              (std::vector<Bytes>{pattern(kFeatureBytes, 10), pattern(kFeatureBytes, 20)}));
}

TEST_F(FingerprintCommands, CollectKeepsTheWholeImageInTheDocumentsFolderUnderATickName) {
    const Bytes image = pattern(kImageBytes, 9);
    Fake::program("fingerprintGetImage", Outcome::returns(0).withBytes({image}));
    const uint32_t before = tickCount();
    request(R"({"FuncName":"CollectFingerFeature","argument":{"number":2}})");
    const uint32_t after = tickCount();

    const std::vector<std::string> names = filesIn(home_.documents());
    ASSERT_EQ(names.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(names[0], match, std::regex(R"((-?[0-9]+)\.\.bmp)"))) << names[0];
    const uint32_t tick = static_cast<uint32_t>(std::stoll(match[1].str()));
    EXPECT_LE(tick - before, after - before);  // between the two readings, wrap-around safe
    EXPECT_EQ(readFile(home_.file("Documents/" + names[0])), image);
}

TEST_F(FingerprintCommands, GetFingerprintWritesBothFilesAndSendsBothTextsBehindMarkers) {
    const Bytes image = pattern(kImageBytes, 3);
    const Bytes raw = pattern(kImageBytes, 6);
    const Bytes feature = pattern(kFeatureBytes, 8);
    programFinger(image, raw, feature);
    const std::string bmp = home_.file("finger.bmp");
    const std::string featureFile = home_.file("finger.dat");
    const Texts sent = request(R"({"FuncName":"GetFingerprint","argument":{"bmpPath":")" + bmp +
                               R"(","FeaturePath":")" + featureFile + R"("}})");
    ASSERT_EQ(sent.size(), 1u);

    const std::string prefix = "$*$GetFingerprint$*$";
    ASSERT_EQ(sent[0].compare(0, prefix.size(), prefix), 0);
    const std::string texts = sent[0].substr(prefix.size());
    const size_t separator = texts.find("$*$");
    ASSERT_NE(separator, std::string::npos);
    const std::string imageText = texts.substr(0, separator);
    const std::string featureText = texts.substr(separator + 3);
    // Line breaks stay in: 4599 of them in the image text, 17 in the feature text.
    EXPECT_EQ(imageText.size(), 358726u);
    EXPECT_EQ(featureText.size(), 1402u);
    EXPECT_EQ(imageText, base64Encode(image.data(), image.size()));
    EXPECT_EQ(featureText, base64Encode(feature.data(), feature.size()));

    EXPECT_EQ(readFile(bmp), image);
    EXPECT_EQ(readFile(featureFile), feature);
    EXPECT_EQ(harness_.calls(), Texts({"fingerprintUnInit()", "fingerprintInit()",
                                       "fingerprintGetImage(zeroed[262144], zeroed[262144])",
                                       "fingerprintGetFeature(bytes[262144], zeroed[1024])"}));
    EXPECT_EQ(Fake::calls()[3].inputBytes, std::vector<Bytes>{raw});
}

TEST_F(FingerprintCommands, GetFingerprintWithoutAFingerSendsTwoEmptyTexts) {
    Fake::program("fingerprintGetImage", Outcome::returns(-3));
    const std::string bmp = home_.file("finger.bmp");
    const std::string featureFile = home_.file("finger.dat");
    EXPECT_EQ(request(R"({"FuncName":"GetFingerprint","argument":{"bmpPath":")" + bmp +
                      R"(","FeaturePath":")" + featureFile + R"("}})"),
              Texts{"$*$GetFingerprint$*$$*$"});
    EXPECT_FALSE(exists(bmp));
    EXPECT_FALSE(exists(featureFile));
    EXPECT_TRUE(calls("fingerprintGetFeature").empty());
}

TEST_F(FingerprintCommands, GetFingerprintWithAFailedFeatureKeepsOnlyTheImageFile) {
    programFinger(pattern(kImageBytes, 3), pattern(kImageBytes, 6), pattern(kFeatureBytes, 8), 2);
    const std::string bmp = home_.file("finger.bmp");
    const std::string featureFile = home_.file("finger.dat");
    EXPECT_EQ(request(R"({"FuncName":"GetFingerprint","argument":{"bmpPath":")" + bmp +
                      R"(","FeaturePath":")" + featureFile + R"("}})"),
              Texts{"$*$GetFingerprint$*$$*$"});
    EXPECT_EQ(readFile(bmp), pattern(kImageBytes, 3));
    EXPECT_FALSE(exists(featureFile));
}

TEST_F(FingerprintCommands, GetFingerprintSkipsFilesItCannotWriteAndStillAnswers) {
    programFinger(pattern(kImageBytes, 3), pattern(kImageBytes, 6), pattern(kFeatureBytes, 8));
    const std::string missingDir = home_.file("no/such/dir/finger.bmp");
    const Texts sent = request(R"({"FuncName":"GetFingerprint","argument":{"bmpPath":")" +
                               missingDir + R"(","FeaturePath":")" + home_.path() + R"("}})");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), std::string("$*$GetFingerprint$*$$*$").size() + 358726 + 1402);
    EXPECT_FALSE(exists(missingDir));
}

TEST_F(FingerprintCommands, SecondTableCommandsLeaveTheSlotsAlone) {
    collect("1", pattern(kFeatureBytes, 10));
    collect("2", pattern(kFeatureBytes, 20));
    programFinger(pattern(kImageBytes, 3), pattern(kImageBytes, 6), pattern(kFeatureBytes, 8));
    request(R"({"FuncName":"GetFingerprint"})");
    request(
        R"({"FuncName":"ContrastFingerprintBase64","argument":{"Base64FPFeature1":"QUJD","Base64FPFeature2":"QQ=="}})");
    request(R"({"FuncName":"CompareFingerFeature"})");
    EXPECT_EQ(lastContrastInputs(),
              (std::vector<Bytes>{pattern(kFeatureBytes, 10), pattern(kFeatureBytes, 20)}));
}

TEST_F(FingerprintCommands, ContrastFingerprintComparesTheFirst1024BytesOfEachFile) {
    const Bytes longFile = pattern(2000, 1);
    const Bytes shortFile = pattern(10, 2);
    const std::string path1 = home_.file("one.dat");
    const std::string path2 = home_.file("two.dat");
    std::ofstream(path1, std::ios::binary)
        .write(reinterpret_cast<const char*>(longFile.data()), 2000);
    std::ofstream(path2, std::ios::binary)
        .write(reinterpret_cast<const char*>(shortFile.data()), 10);
    Fake::program("fingerprintContrast", Outcome::returns(-6));
    EXPECT_EQ(request(R"({"FuncName":"ContrastFingerprint","argument":{"FeaturePath1":")" + path1 +
                      R"(","FeaturePath2":")" + path2 + R"("}})"),
              Texts{reply("ContrastFingerprint", "-6")});
    Bytes expected2(kFeatureBytes, 0);
    std::copy(shortFile.begin(), shortFile.end(), expected2.begin());
    EXPECT_EQ(lastContrastInputs(),
              (std::vector<Bytes>{Bytes(longFile.begin(), longFile.begin() + 1024), expected2}));
}

TEST_F(FingerprintCommands, ContrastFingerprintAnswers5WhenAFileCannotBeRead) {
    const std::string present = home_.file("one.dat");
    std::ofstream(present) << "feature";
    const std::string missing = home_.file("missing.dat");
    for (const auto& [first, second] : std::vector<std::pair<std::string, std::string>>{
             {present, missing}, {missing, present}, {present, home_.path()}, {"", present}}) {
        SCOPED_TRACE(first + " / " + second);
        EXPECT_EQ(request(R"({"FuncName":"ContrastFingerprint","argument":{"FeaturePath1":")" +
                          first + R"(","FeaturePath2":")" + second + R"("}})"),
                  Texts{reply("ContrastFingerprint", "5")});
    }
    EXPECT_EQ(
        request(
            R"({"FuncName":"ContrastFingerprint","argument":{"FeaturePath1":1,"FeaturePath2":2}})"),
        Texts{reply("ContrastFingerprint", "5")});
    EXPECT_TRUE(harness_.calls().empty());
}

TEST_F(FingerprintCommands, ContrastBase64HasDifferentMinimumLengthsForItsTwoTexts) {
    const auto contrast = [&](const std::string& arguments) {
        return request(R"({"FuncName":"ContrastFingerprintBase64","argument":{)" + arguments +
                       "}}");
    };
    EXPECT_EQ(contrast(R"("Base64FPFeature1":"Q","Base64FPFeature2":"QUJD")"),
              Texts{reply("ContrastFingerprintBase64", "5")});
    EXPECT_EQ(contrast(R"("Base64FPFeature1":"QUJD","Base64FPFeature2":"")"),
              Texts{reply("ContrastFingerprintBase64", "5")});
    EXPECT_EQ(contrast(R"("Base64FPFeature1":"QUJD")"),
              Texts{reply("ContrastFingerprintBase64", "5")});
    EXPECT_EQ(contrast(R"("Base64FPFeature1":"QUJD","Base64FPFeature2":5)"),
              Texts{reply("ContrastFingerprintBase64", "5")});
    EXPECT_TRUE(harness_.calls().empty());

    // Two characters are enough for the first text and one for the second: a lone character
    // carries too few bits for a byte, so that feature is all zero.
    Fake::program("fingerprintContrast", Outcome::returns(12));
    EXPECT_EQ(contrast(R"("Base64FPFeature1":"QU","Base64FPFeature2":"Q")"),
              Texts{reply("ContrastFingerprintBase64", "12")});
    Bytes expected1(kFeatureBytes, 0);
    expected1[0] = 'A';
    EXPECT_EQ(lastContrastInputs(), (std::vector<Bytes>{expected1, Bytes(kFeatureBytes, 0)}));
}

TEST_F(FingerprintCommands, ContrastBase64DecodesAtMost1024CharactersOfEachText) {
    const Bytes feature1 = pattern(kFeatureBytes, 1);
    const Bytes feature2 = pattern(kFeatureBytes, 2);
    std::string text1 = base64Encode(feature1.data(), feature1.size());  // with line breaks
    std::string text2 = base64Encode(feature2.data(), feature2.size());
    replaceAll(text2, "\r\n", "");  // without
    ASSERT_EQ(text1.size(), 1402u);
    Fake::program("fingerprintContrast", Outcome::returns(77));
    EXPECT_EQ(
        request(R"({"FuncName":"ContrastFingerprintBase64","argument":{"Base64FPFeature1":")" +
                text1 + R"(","Base64FPFeature2":")" + text2 + R"("}})"),
        Texts{reply("ContrastFingerprintBase64", "77")});

    // Line breaks count toward the 1024 characters: 13 lines of 78 leave 10 characters, so three
    // more groups start within them and are read whole: 13 * 57 + 9 bytes of the first. Without
    // line breaks 256 groups give 768 bytes.
    Bytes expected1(kFeatureBytes, 0);
    std::copy(feature1.begin(), feature1.begin() + 13 * 57 + 9, expected1.begin());
    Bytes expected2(kFeatureBytes, 0);
    std::copy(feature2.begin(), feature2.begin() + 768, expected2.begin());
    EXPECT_EQ(lastContrastInputs(), (std::vector<Bytes>{expected1, expected2}));
}

}  // namespace
}  // namespace lenvaro
