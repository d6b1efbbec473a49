// The OCR commands through the recording fake.
#include <gtest/gtest.h>

#include "fake_pictavo.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class OcrCommands : public lenvaro::testing::CommandTest {};

TEST_F(OcrCommands, LanguageCountRepliesTheCountWhateverTheStatus) {
    Fake::program("ocrGetLanguageCount", Outcome::returns(-1).withInts({2}));
    EXPECT_EQ(request(R"({"FuncName":"ocrGetLanguageCount"})"),
              Texts{R"({"FuncName":"ocrGetLanguageCount","result":"2"})"});
    Fake::program("ocrGetLanguageCount", Outcome::returns(0));
    EXPECT_EQ(request(R"({"FuncName":"ocrGetLanguageCount"})"),
              Texts{R"({"FuncName":"ocrGetLanguageCount","result":"0"})"});
    EXPECT_EQ(harness_.calls(), Texts({"ocrGetLanguageCount(&0)", "ocrGetLanguageCount(&0)"}));
}

TEST_F(OcrCommands, LanguageNamesAreARawListOfTheNamesAsGiven) {
    Fake::program("ocrGetLanguageCount", Outcome().withInts({2}));
    Fake::programSequence("ocrGetLanguageName",
                          {Outcome().withTexts({"A"}), Outcome().withTexts({"B"})});
    EXPECT_EQ(request(R"({"FuncName":"ocrGetLanguageName"})"),
              Texts{R"({"FuncName":"ocrGetLanguageName","result":["A","B"]})"});
    EXPECT_EQ(harness_.calls(),
              Texts({"ocrGetLanguageCount(&0)", "ocrGetLanguageName(0, zeroed[128])",
                     "ocrGetLanguageName(1, zeroed[128])"}));
}

TEST_F(OcrCommands, NoLanguageGivesAListOfOneEmptyName) {
    EXPECT_EQ(request(R"({"FuncName":"ocrGetLanguageName"})"),
              Texts{R"({"FuncName":"ocrGetLanguageName","result":[""]})"});
    Fake::program("ocrGetLanguageCount", Outcome().withInts({-7}));
    EXPECT_EQ(request(R"({"FuncName":"ocrGetLanguageName"})"),
              Texts{R"({"FuncName":"ocrGetLanguageName","result":[""]})"});
    EXPECT_EQ(harness_.calls(), Texts({"ocrGetLanguageCount(&0)", "ocrGetLanguageCount(&0)"}));
}

TEST_F(OcrCommands, ANameTheLibraryFailsToGiveIsEmptyNotTheOneBefore) {
    Fake::program("ocrGetLanguageCount", Outcome().withInts({3}));
    Fake::programSequence("ocrGetLanguageName", {Outcome().withTexts({"eng"}), Outcome::returns(-2),
                                                 Outcome().withTexts({"chi_sim"})});
    EXPECT_EQ(request(R"({"FuncName":"ocrGetLanguageName"})"),
              Texts{R"({"FuncName":"ocrGetLanguageName","result":["eng","","chi_sim"]})"});
}

TEST_F(OcrCommands, AddAndCombineToFileReplyTheLibraryStatus) {
    Fake::program("ocrAddImageFileToOCRList", Outcome::returns(-5));
    EXPECT_EQ(
        request(
            R"({"FuncName":"ocrAddImageFileToOCRList","argument":{"strImagePath":"/p/1.jpg"}})"),
        Texts{R"({"FuncName":"ocrAddImageFileToOCRList","result":"-5"})"});
    Fake::program("ocrCombineToFile", Outcome::returns(0));
    EXPECT_EQ(
        request(
            R"({"FuncName":"ocrCombineToFile","argument":{"strFilePath":"/p/out.pdf","language":1}})"),
        Texts{R"({"FuncName":"ocrCombineToFile","result":"0"})"});
    EXPECT_EQ(request(R"({"FuncName":"ocrCombineToFile","argument":{"language":1.0}})"),
              Texts{R"({"FuncName":"ocrCombineToFile","result":"0"})"});
    EXPECT_EQ(harness_.calls(),
              Texts({R"(ocrAddImageFileToOCRList("/p/1.jpg"))",
                     R"(ocrCombineToFile("/p/out.pdf", 1))", R"(ocrCombineToFile("", 0))"}));
}

TEST_F(OcrCommands, CombineSingleToFileCombinesEvenWhenAddingFailed) {
    Fake::program("ocrAddImageFileToOCRList", Outcome::returns(-5));
    Fake::program("ocrCombineToFile", Outcome::returns(-1));
    EXPECT_EQ(
        request(
            R"({"FuncName":"ocrCombineSingleToFile","argument":{"strImagePath":"/i.png","strFilePath":"/o.txt","language":0}})"),
        Texts{R"({"FuncName":"ocrCombineSingleToFile","result":"-1"})"});
    EXPECT_EQ(harness_.calls(),
              Texts({R"(ocrAddImageFileToOCRList("/i.png"))", R"(ocrCombineToFile("/o.txt", 0))"}));
}

TEST_F(OcrCommands, CombineToStringSendsTheTextAfterItsMarker) {
    Fake::program("ocrCombineToString",
                  Outcome::returns(-4).withTexts({"Hello \"world\"\n第二行"}));
    EXPECT_EQ(request(R"({"FuncName":"ocrCombineToString","argument":{"language":1}})"),
              Texts{"$-$Hello \"world\"\n第二行"});
    Fake::program("ocrCombineToString", Outcome::returns(-1));
    EXPECT_EQ(request(R"({"FuncName":"ocrCombineToString"})"), Texts{"$-$"});
    EXPECT_EQ(harness_.calls(), Texts({"ocrCombineToString(1, zeroed[10000])",
                                       "ocrCombineToString(0, zeroed[10000])"}));
}

TEST_F(OcrCommands, CombineToStringTakesAFullBufferWhole) {
    Fake::program("ocrCombineToString", Outcome().withTexts({std::string(9999, 'x')}));
    EXPECT_EQ(request(R"({"FuncName":"ocrCombineToString"})"),
              Texts{"$-$" + std::string(9999, 'x')});
}

TEST_F(OcrCommands, CombineSingleToStringAddsThenCombinesWhateverTheAddGave) {
    Fake::program("ocrAddImageFileToOCRList", Outcome::returns(-2));
    Fake::program("ocrCombineToString", Outcome().withTexts({"text"}));
    EXPECT_EQ(
        request(
            R"({"FuncName":"ocrCombineSingleToString","argument":{"strImagePath":"/a.jpg","language":2}})"),
        Texts{"$-$text"});
    EXPECT_EQ(harness_.calls(), Texts({R"(ocrAddImageFileToOCRList("/a.jpg"))",
                                       "ocrCombineToString(2, zeroed[10000])"}));
}

}  // namespace
}  // namespace lenvaro
