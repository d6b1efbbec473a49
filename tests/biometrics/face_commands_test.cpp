// Face matching commands and the background match worker through the recording fake.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "biometrics/face_match_worker.h"
#include "fake_pictavo.h"
#include "service/reply_route.h"
#include "command_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;
using namespace std::chrono_literals;

std::string reply(const std::string& name, const std::string& result) {
    return R"({"FuncName":")" + name + R"(","result":")" + result + R"("})";
}

std::string pushed(const std::string& score) { return reply(kFaceMatchPushName, score); }

class FaceCommands : public lenvaro::testing::CommandTest {
  protected:
    // Waits until `count` messages have been sent in all (the bound only keeps a broken worker
    // from hanging the run), then returns them.
    Texts waitForSent(size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (harness_.sent().size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        return harness_.sent();
    }

    void waitUntilIdle() {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (harness_.service().faceMatchWorkers().running() > 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
    }

    void startMatch(const std::string& arguments) {
        EXPECT_EQ(request(R"({"FuncName":"camStartAsyMatchFaceBase64Video","argument":{)" +
                          arguments + "}}"),
                  Texts{});
    }

    static Texts matchCalls() { return Fake::callLog("camMatchFaceByBase64Video"); }

};

TEST_F(FaceCommands, InitAndUnInitReplyTheLibraryStatus) {
    Fake::program("camInitFace", Outcome::returns(-4));
    Fake::program("camUnInitFace", Outcome::returns(1));
    EXPECT_EQ(request(R"({"FuncName":"camInitFace"})"), Texts{reply("camInitFace", "-4")});
    EXPECT_EQ(request(R"({"FuncName":"camUnInitFace"})"), Texts{reply("camUnInitFace", "1")});
    EXPECT_EQ(harness_.calls(), Texts({"camInitFace()", "camUnInitFace()"}));
}

TEST_F(FaceCommands, StillMatchesPassTheirArgumentsInOrderWithAScorePresetToZero) {
    Fake::program("camMatchFaceByFile", Outcome::returns(0).withInts({83}));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camMatchFaceByFile","argument":{"filePath1":"/a.jpg","filePath2":"/b.png"}})"),
        Texts{reply("camMatchFaceByFile", "83")});
    Fake::program("camMatchFaceByBase64", Outcome::returns(0).withInts({12}));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camMatchFaceByBase64","argument":{"PersonFace1":"AAAA","PersonFace2":"BBBB"}})"),
        Texts{reply("camMatchFaceByBase64", "12")});
    EXPECT_EQ(harness_.calls(), Texts({R"(camMatchFaceByFile("/a.jpg", "/b.png", &0))",
                                       R"(camMatchFaceByBase64("AAAA", "BBBB", &0))"}));
}

TEST_F(FaceCommands, VideoMatchesUseTheCurrentDeviceAndTheGivenTime) {
    harness_.service().currentDevice = 1;
    Fake::program("camMatchFaceByFileVideo", Outcome::returns(0).withInts({64}));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camMatchFaceByFileVideo","argument":{"filePath":"/ref.jpg","videoFilePath":"/v.avi","ldelayTime":3000}})"),
        Texts{reply("camMatchFaceByFileVideo", "64")});
    Fake::program("camMatchFaceByBase64Video", Outcome::returns(0).withInts({71}));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camMatchFaceByBase64Video","argument":{"personFace":"QUJD","ldelayTime":2500}})"),
        Texts{reply("camMatchFaceByBase64Video", "71")});
    EXPECT_EQ(harness_.calls(),
              Texts({R"(camMatchFaceByFileVideo(1, "/ref.jpg", &0, "/v.avi", 3000))",
                     R"(camMatchFaceByBase64Video(1, "QUJD", &0, "", 2500))"}));
}

// A live match holds every page's commands: it runs at most five minutes, as the background
// match does, whatever the page asks (a negative time reads as weeks).
TEST_F(FaceCommands, ALiveMatchRunsAtMostFiveMinutes) {
    const std::vector<std::pair<std::string, std::string>> times = {
        {"", "0"},          {"\"ldelayTime\":300000,", "300000"}, {"\"ldelayTime\":300001,", "300000"},
        {"\"ldelayTime\":2147483647,", "300000"}, {"\"ldelayTime\":-5,", "300000"},
    };
    for (const auto& [argument, passed] : times) {
        Fake::clearCalls();
        request(R"({"FuncName":"camMatchFaceByFileVideo","argument":{)" + argument + R"("filePath":"/r.jpg"}})");
        request(R"({"FuncName":"camMatchFaceByBase64Video","argument":{)" + argument + R"("personFace":"QUJD"}})");
        EXPECT_EQ(harness_.calls(), Texts({R"(camMatchFaceByFileVideo(0, "/r.jpg", &0, "", )" + passed + ")",
                                           R"(camMatchFaceByBase64Video(0, "QUJD", &0, "", )" + passed + ")"}))
            << argument;
    }
}

TEST_F(FaceCommands, ANegativeStatusWinsOverAWrittenScore) {
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"camMatchFaceByFile", R"({"FuncName":"camMatchFaceByFile"})"},
        {"camMatchFaceByBase64", R"({"FuncName":"camMatchFaceByBase64"})"},
        {"camMatchFaceByFileVideo", R"({"FuncName":"camMatchFaceByFileVideo"})"},
        {"camMatchFaceByBase64Video", R"({"FuncName":"camMatchFaceByBase64Video"})"},
    };
    for (const auto& [name, text] : commands) {
        SCOPED_TRACE(name);
        Fake::program(name, Outcome::returns(-3).withInts({95}));
        EXPECT_EQ(request(text), Texts{reply(name, "-3")});
        // A positive status is no failure: the score is the result.
        Fake::program(name, Outcome::returns(2).withInts({40}));
        EXPECT_EQ(request(text), Texts{reply(name, "40")});
        // Nothing written: the preset.
        Fake::program(name, Outcome::returns(0));
        EXPECT_EQ(request(text), Texts{reply(name, "0")});
        // A negative score that came with success is the result as it stands.
        Fake::program(name, Outcome::returns(0).withInts({-9}));
        EXPECT_EQ(request(text), Texts{reply(name, "-9")});
    }
}

TEST_F(FaceCommands, LivingBodyStatePassesOneForAnyNonZeroValue) {
    Fake::program("camSetLivingBodyState", Outcome::returns(-4));
    for (const std::string argument : {R"({"bOpen":5})", R"({"bOpen":-1})", R"({"bOpen":1})",
                                       R"({"bOpen":0})", "{}", R"({"bOpen":"1"})"}) {
        EXPECT_EQ(request(R"({"FuncName":"camSetLivingBodyState","argument":)" + argument + "}"),
                  Texts{reply("camSetLivingBodyState", "-4")});
    }
    EXPECT_EQ(Fake::callLog(), Texts({"camSetLivingBodyState(1)", "camSetLivingBodyState(1)",
                                      "camSetLivingBodyState(1)", "camSetLivingBodyState(0)",
                                      "camSetLivingBodyState(0)", "camSetLivingBodyState(0)"}));
}

TEST_F(FaceCommands, BackgroundMatchWithoutBudgetMakesOnePassAndPushesOnce) {
    harness_.service().currentDevice = 1;
    Fake::program("camMatchFaceByBase64Video", Outcome::returns(0).withInts({37}));
    startMatch(R"("personFace":"QUJD","videoFilePath":"/v.avi","score":90)");
    EXPECT_EQ(waitForSent(1), Texts{pushed("37")});
    waitUntilIdle();
    EXPECT_EQ(matchCalls(), Texts{R"(camMatchFaceByBase64Video(1, "QUJD", &0, "/v.avi", 0))"});
    EXPECT_EQ(harness_.sent().size(), 1u);
}

TEST_F(FaceCommands, BackgroundMatchStopsOnceTheScoreReachesTheThreshold) {
    // The score carries over from pass to pass: a pass that writes nothing keeps the last one.
    Fake::programSequence("camMatchFaceByBase64Video",
                          {Outcome::returns(-1).withInts({20}), Outcome::returns(-1),
                           Outcome::returns(0).withInts({55}), Outcome::returns(0).withInts({99})});
    startMatch(R"("personFace":"QUJD","ldelayTime":-1,"score":55)");
    EXPECT_EQ(waitForSent(1), Texts{pushed("55")});
    waitUntilIdle();
    EXPECT_EQ(matchCalls(), Texts({R"(camMatchFaceByBase64Video(0, "QUJD", &0, "", 0))",
                                   R"(camMatchFaceByBase64Video(0, "QUJD", &20, "", 0))",
                                   R"(camMatchFaceByBase64Video(0, "QUJD", &20, "", 0))"}));
}

TEST_F(FaceCommands, ThresholdZeroStopsAfterTheFirstPassUnlessItsScoreIsNegative) {
    Fake::program("camMatchFaceByBase64Video", Outcome::returns(0).withInts({0}));
    startMatch(R"("personFace":"QUJD","ldelayTime":60000)");
    EXPECT_EQ(waitForSent(1), Texts{pushed("0")});
    waitUntilIdle();
    EXPECT_EQ(matchCalls().size(), 1u);

    Fake::clearCalls();
    Fake::programSequence("camMatchFaceByBase64Video",
                          {Outcome::returns(0).withInts({-2}), Outcome::returns(0).withInts({4})});
    startMatch(R"("personFace":"QUJD","ldelayTime":60000)");
    EXPECT_EQ(waitForSent(2).back(), pushed("4"));
    waitUntilIdle();
    EXPECT_EQ(matchCalls().size(), 2u);
}

TEST_F(FaceCommands, BackgroundMatchRepliesTheLastScoreWhenTheBudgetRunsOut) {
    Fake::program("camMatchFaceByBase64Video", Outcome::returns(0).withInts({30}));
    startMatch(R"("personFace":"QUJD","ldelayTime":1000,"score":80)");
    EXPECT_EQ(waitForSent(1), Texts{pushed("30")});
    waitUntilIdle();
    // Every pass pauses 100 ms after its call, and the budget is checked with the time before
    // the pause: more than one pass, never more than the budget allows plus one.
    EXPECT_GE(matchCalls().size(), 2u);
    EXPECT_LE(matchCalls().size(), 11u);
}

TEST_F(FaceCommands, FailingCallsReplyTheStartingScore) {
    Fake::program("camMatchFaceByBase64Video", Outcome::returns(-3));
    startMatch(R"("personFace":"QUJD","ldelayTime":150,"score":50)");
    EXPECT_EQ(waitForSent(1), Texts{pushed("0")});
}

TEST_F(FaceCommands, TwoStartsGiveTwoRepliesAndARunningWorkerFollowsTheNewJob) {
    // The first worker is inside a slow pass when the second start replaces the job.
    Fake::programSequence(
        "camMatchFaceByBase64Video",
        {Outcome::returns(0).withInts({10}).delayed(300), Outcome::returns(0).withInts({10})});
    startMatch(R"("personFace":"FIRST","ldelayTime":-1,"score":100)");
    while (matchCalls().empty()) std::this_thread::sleep_for(2ms);
    startMatch(R"("personFace":"SECOND","ldelayTime":0,"score":100)");

    // The second worker ends after one pass. The first reads the new budget (0) at its next
    // pass and ends too, having called with the new reference.
    EXPECT_EQ(waitForSent(2), Texts({pushed("10"), pushed("10")}));
    waitUntilIdle();
    const Texts calls = matchCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], R"(camMatchFaceByBase64Video(0, "FIRST", &0, "", 0))");
    EXPECT_EQ(calls[1], R"(camMatchFaceByBase64Video(0, "SECOND", &0, "", 0))");
    EXPECT_EQ(calls[2], R"(camMatchFaceByBase64Video(0, "SECOND", &10, "", 0))");
    EXPECT_EQ(harness_.sent().size(), 2u);
}

TEST_F(FaceCommands, StartsBeyondTheCapAreAnsweredBusyAtOnceAndLeaveTheJobAlone) {
    Fake::program("camMatchFaceByBase64Video", Outcome::returns(0).withInts({1}).delayed(20));
    for (size_t i = 0; i < FaceMatchWorkers::kMaxRunning; ++i)
        startMatch(R"("personFace":"QUJD","ldelayTime":400,"score":100)");
    EXPECT_EQ(request(R"({"FuncName":"camStartAsyMatchFaceBase64Video","argument":{"personFace":"LATE"}})"),
              Texts{pushed("-1")});
    EXPECT_EQ(harness_.service().faceMatchWorkers().running(), FaceMatchWorkers::kMaxRunning);

    // Every running worker ends with its own score; none ever compared the refused face.
    const Texts sent = waitForSent(1 + FaceMatchWorkers::kMaxRunning);
    ASSERT_EQ(sent.size(), 1 + FaceMatchWorkers::kMaxRunning);
    EXPECT_EQ(sent[0], pushed("-1"));
    for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i], pushed("1"));
    waitUntilIdle();
    for (const std::string& call : matchCalls()) EXPECT_EQ(call.find("LATE"), std::string::npos) << call;

    // Once they have ended, a start runs again.
    startMatch(R"("personFace":"NEXT")");
    EXPECT_EQ(waitForSent(2 + FaceMatchWorkers::kMaxRunning).back(), pushed("1"));
    EXPECT_EQ(matchCalls().back(), R"(camMatchFaceByBase64Video(0, "NEXT", &0, "", 0))");
}

TEST_F(FaceCommands, TheResultGoesToThePageThatStartedTheMatch) {
    Fake::program("camMatchFaceByBase64Video", Outcome::returns(0).withInts({7}));
    {
        const ReplyRouteScope asking(ReplyRoute{5, false});
        startMatch(R"("personFace":"QUJD")");
    }
    ASSERT_EQ(waitForSent(1), Texts{pushed("7")});
    // Sent from the worker's own thread with the asking page's route; should that page be gone
    // by then, the newest page gets it (a reloaded page reconnects as the newest).
    const std::vector<ReplyRoute> routes = harness_.routes();
    ASSERT_EQ(routes.size(), 1u);
    EXPECT_EQ(routes[0].connection, 5u);
    EXPECT_TRUE(routes[0].fallBackToNewest);
}

TEST(FaceMatchBudget, IsTakenAsUnsignedAndNeverLongerThanFiveMinutes) {
    const uint32_t longest = static_cast<uint32_t>(FaceMatchWorkers::kMaxBudget.count());
    ASSERT_EQ(longest, 300000u);
    const std::pair<int32_t, uint32_t> cases[] = {
        {0, 0},         {150, 150},         {299999, 299999},       {300000, longest},
        {300001, longest}, {INT32_MAX, longest}, {-1, longest}, {INT32_MIN, longest},
    };
    for (const auto& [delayTime, budget] : cases)
        EXPECT_EQ(FaceMatchWorkers::budgetOf(delayTime), budget) << delayTime;
}

TEST_F(FaceCommands, StoppingEndsRunningWorkersWithoutAReply) {
    Fake::program("camMatchFaceByBase64Video", Outcome::returns(0).withInts({1}).delayed(20));
    startMatch(R"("personFace":"QUJD","ldelayTime":-1,"score":100)");
    startMatch(R"("personFace":"QUJD","ldelayTime":-1,"score":100)");
    while (matchCalls().size() < 2) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(harness_.service().faceMatchWorkers().running(), 2u);

    harness_.service().stopBackgroundWork();
    EXPECT_EQ(harness_.service().faceMatchWorkers().running(), 0u);
    const size_t callsAtStop = matchCalls().size();
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(matchCalls().size(), callsAtStop);
    EXPECT_TRUE(harness_.sent().empty());

    // Nothing starts any more.
    startMatch(R"("personFace":"QUJD")");
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(matchCalls().size(), callsAtStop);
    EXPECT_TRUE(harness_.sent().empty());
}

TEST_F(FaceCommands, TheServiceEndsItsWorkersWhenItGoes) {
    {
        ServiceHarness second;
        Fake::program("camMatchFaceByBase64Video", Outcome::returns(0).withInts({1}));
        second.request(
            R"({"FuncName":"camStartAsyMatchFaceBase64Video","argument":{"ldelayTime":-1,"score":100}})");
        while (Fake::callLog("camMatchFaceByBase64Video").empty()) std::this_thread::sleep_for(2ms);
        EXPECT_EQ(second.service().faceMatchWorkers().running(), 1u);
    }
    // The worker ended with its service (which also forgot the calls): a worker left running
    // would go on calling the library and reach a destroyed service.
    std::this_thread::sleep_for(250ms);
    EXPECT_TRUE(matchCalls().empty());
}

}  // namespace
}  // namespace lenvaro
