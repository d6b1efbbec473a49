// The template recognition commands through the recording fake, names with their trailing
// spaces included.
#include <gtest/gtest.h>
#include <json/json.h>

#include "code_page_scope.h"
#include "fake_pictavo.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class TemplateCommands : public lenvaro::testing::CommandTest {};

TEST_F(TemplateCommands, NamesWithoutTheirTrailingSpaceGetNoReply) {
    EXPECT_TRUE(request(R"({"FuncName":"otrGetTemplateCount"})").empty());
    EXPECT_TRUE(request(R"({"FuncName":"otrGetTemplateInfo"})").empty());
    EXPECT_TRUE(request(R"({"FuncName":"OtrRecog"})").empty());
    EXPECT_TRUE(request(R"({"FuncName":"otrRecog "})").empty());
    EXPECT_TRUE(harness_.calls().empty());
}

TEST_F(TemplateCommands, UnInitRepliesItsStatus) {
    Fake::program("otrUnInit", Outcome::returns(-6));
    EXPECT_EQ(request(R"({"FuncName":"otrUnInit"})"),
              Texts{R"({"FuncName":"otrUnInit","result":"-6"})"});
}

TEST_F(TemplateCommands, TemplateCountEchoesTheNameWithItsSpace) {
    Fake::program("otrGetTemplateCount", Outcome::returns(-1).withInts({4}));
    EXPECT_EQ(request(R"({"FuncName":"otrGetTemplateCount "})"),
              Texts{R"({"FuncName":"otrGetTemplateCount ","result":"4"})"});
    Fake::program("otrGetTemplateCount", Outcome::returns(0));
    EXPECT_EQ(request(R"({"FuncName":"otrGetTemplateCount "})"),
              Texts{R"({"FuncName":"otrGetTemplateCount ","result":"0"})"});
    EXPECT_EQ(harness_.calls(), Texts({"otrGetTemplateCount(&0)", "otrGetTemplateCount(&0)"}));
}

TEST_F(TemplateCommands, TemplateInfoIsAnUnescapedObjectText) {
    Fake::program("otrGetTemplateInfo", Outcome::returns(0).withTexts({"T1"}));
    EXPECT_EQ(request(R"({"FuncName":"otrGetTemplateInfo ","argument":{"index":3}})"),
              Texts{R"({"FuncName":"otrGetTemplateInfo ","result":"{"TemplateName":"T1"}"})"});
    EXPECT_EQ(harness_.calls(), Texts{"otrGetTemplateInfo(3, zeroed[1024], &1024)"});
}

TEST_F(TemplateCommands, TemplateInfoFailureIsAnErrorObject) {
    Fake::program("otrGetTemplateInfo", Outcome::returns(-2).withTexts({"ignored"}));
    EXPECT_EQ(request(R"({"FuncName":"otrGetTemplateInfo "})"),
              Texts{R"({"FuncName":"otrGetTemplateInfo ","result":"{"errorCode":"-2"}"})"});
}

TEST_F(TemplateCommands, TemplateInfoKeepsANameOfAFullBuffer) {
    const std::string name(1023, 'n');
    Fake::program("otrGetTemplateInfo", Outcome::returns(0).withTexts({name}));
    EXPECT_EQ(request(R"({"FuncName":"otrGetTemplateInfo "})"),
              Texts{R"({"FuncName":"otrGetTemplateInfo ","result":"{"TemplateName":")" + name +
                    R"("}"})"});
}

TEST_F(TemplateCommands, RecogJoinsTheFieldsInOrder) {
    Fake::program("otrRecog", Outcome::returns(0));
    Fake::program("otrGetResultCount", Outcome::returns(0).withInts({2}));
    Fake::programSequence("otrGetResultInfo",
                          {Outcome().withTexts({"Name", "Li"}), Outcome().withTexts({"No", "7"})});
    EXPECT_EQ(
        request(R"({"FuncName":"OtrRecog ","argument":{"index":1,"strimagePath":"/f/form.jpg"}})"),
        Texts{R"({"FuncName":"OtrRecog ","result":"{"Name":"Li","No":"7"}"})"});
    EXPECT_EQ(harness_.calls(), Texts({R"(otrRecog(1, "/f/form.jpg"))", "otrGetResultCount(&0)",
                                       "otrGetResultInfo(0, zeroed[1024], zeroed[10000])",
                                       "otrGetResultInfo(1, zeroed[1024], zeroed[10000])"}));
}

TEST_F(TemplateCommands, RecogWithoutFieldsIsAnEmptyObject) {
    EXPECT_EQ(request(R"({"FuncName":"OtrRecog "})"),
              Texts{R"({"FuncName":"OtrRecog ","result":"{}"})"});
    EXPECT_EQ(harness_.calls(), Texts({R"(otrRecog(0, ""))", "otrGetResultCount(&0)"}));
}

TEST_F(TemplateCommands, RecogFailureSkipsTheResultsAndNamesTheFailingStatus) {
    Fake::program("otrRecog", Outcome::returns(-1));
    EXPECT_EQ(request(R"({"FuncName":"OtrRecog ","argument":{"index":0,"strimagePath":"x"}})"),
              Texts{R"({"FuncName":"OtrRecog ","result":"{"errorCode":"-1"}"})"});
    EXPECT_EQ(harness_.calls(), Texts{R"(otrRecog(0, "x"))"});

    Fake::clearCalls();
    Fake::program("otrRecog", Outcome::returns(0));
    Fake::program("otrGetResultCount", Outcome::returns(-5).withInts({3}));
    EXPECT_EQ(request(R"({"FuncName":"OtrRecog ","argument":{"index":0,"strimagePath":"x"}})"),
              Texts{R"({"FuncName":"OtrRecog ","result":"{"errorCode":"-5"}"})"});
    EXPECT_EQ(harness_.calls(), Texts({R"(otrRecog(0, "x"))", "otrGetResultCount(&0)"}));
}

TEST_F(TemplateCommands, RecogZeroesBothBuffersForEveryField) {
    // A field the library leaves untouched reads as empty, not as the field before it.
    Fake::program("otrGetResultCount", Outcome().withInts({2}));
    Fake::programSequence("otrGetResultInfo",
                          {Outcome().withTexts({"Name", "Li"}), Outcome::returns(-2)});
    EXPECT_EQ(request(R"({"FuncName":"OtrRecog "})"),
              Texts{R"({"FuncName":"OtrRecog ","result":"{"Name":"Li","":""}"})"});
}

// What a page does with the reply: cut the object text out of it and parse that.
Json::Value objectOf(const Texts& replies, const std::string& name) {
    const std::string prefix = R"({"FuncName":")" + name + R"(","result":")";
    Json::Value object;
    if (replies.size() != 1 || replies[0].rfind(prefix, 0) != 0) return object;
    const std::string text = replies[0].substr(prefix.size(), replies[0].size() - prefix.size() - 2);
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &object, nullptr)) object = "unparseable";
    return object;
}

TEST_F(TemplateCommands, RecognisedTextReachesThePageExactlyAsOnThePaper) {
    for (const std::string& onPaper :
         {std::string(R"(Visit","Name":"Mallory)"), std::string(R"(The "Acme" Company)"),
          std::string(R"(C:\forms\)"), std::string("two\nlines\tand\x01")}) {
        SCOPED_TRACE(onPaper);
        Fake::program("otrGetResultCount", Outcome().withInts({2}));
        Fake::programSequence("otrGetResultInfo", {Outcome().withTexts({"Visit", onPaper}),
                                                   Outcome().withTexts({"Name", "Li"})});
        const Json::Value object = objectOf(request(R"({"FuncName":"OtrRecog "})"), "OtrRecog ");
        EXPECT_EQ(object.getMemberNames(), (std::vector<std::string>{"Name", "Visit"}));
        EXPECT_EQ(object["Visit"], onPaper);
        EXPECT_EQ(object["Name"], "Li");
    }
    Fake::program("otrGetTemplateInfo", Outcome::returns(0).withTexts({R"(Form "B")"}));
    EXPECT_EQ(objectOf(request(R"({"FuncName":"otrGetTemplateInfo "})"), "otrGetTemplateInfo ")
                  ["TemplateName"],
              R"(Form "B")");

    // In GBK the second byte of 淺 is that of a backslash: the character is not escaped.
    const CodePageScope gbk("GBK");
    Fake::program("otrGetResultCount", Outcome().withInts({1}));
    Fake::program("otrGetResultInfo", Outcome().withTexts({"N", "\x9C\x5C\""}));
    EXPECT_EQ(request(R"({"FuncName":"OtrRecog "})"),
              Texts{"{\"FuncName\":\"OtrRecog \",\"result\":\"{\"N\":\"\x9C\x5C\\\"\"}\"}"});
}

}  // namespace
}  // namespace lenvaro
