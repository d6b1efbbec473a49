#include "service/command_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include <thread>

#include "service_harness.h"

namespace lenvaro {
namespace {

using lenvaro::testing::ServiceHarness;

class Getters : public ::testing::Test {
protected:
    CommandService& parsed(const std::string& text) {
        EXPECT_TRUE(harness_.service().parseRequest(text)) << text;
        return harness_.service();
    }
    ServiceHarness harness_;
};

TEST_F(Getters, ReadTypedArguments) {
    auto& s = parsed(R"({"FuncName":"camOpenDev","tag":"t","argument":{"devIndex":1,"width":-1920,
        "strImagePath":"C:\\a.jpg","fAngle":2.5,"fExp":1e3,"fNeg":-0.25}})");
    EXPECT_EQ(s.envelopeString("FuncName"), "camOpenDev");
    EXPECT_EQ(s.envelopeString("tag"), "t");
    EXPECT_EQ(s.argInt("devIndex"), 1);
    EXPECT_EQ(s.argInt("width"), -1920);
    EXPECT_EQ(s.argString("strImagePath"), "C:\\a.jpg");
    EXPECT_FLOAT_EQ(s.argFloat("fAngle"), 2.5f);
    EXPECT_FLOAT_EQ(s.argFloat("fExp"), 1000.0f);
    EXPECT_FLOAT_EQ(s.argFloat("fNeg"), -0.25f);
}

TEST_F(Getters, NumbersGoByHowTheyWereWritten) {
    auto& s = parsed(R"({"argument":{"a":3.0,"b":2,"c":2.0,"d":2147483647,"e":-2147483648,
        "f":2147483648,"g":-2147483649,"h":18446744073709551615,"i":123456789012345678901234,
        "j":1E2,"k":0}})");
    EXPECT_EQ(s.argInt("a"), 0);           // fraction: not an integer
    EXPECT_FLOAT_EQ(s.argFloat("b"), 0.0f);  // integer literal: not a float
    EXPECT_FLOAT_EQ(s.argFloat("c"), 2.0f);
    EXPECT_EQ(s.argInt("d"), 2147483647);
    EXPECT_EQ(s.argInt("e"), INT32_MIN);
    EXPECT_EQ(s.argInt("f"), 0);            // out of the 32-bit range
    EXPECT_EQ(s.argInt("g"), 0);
    EXPECT_EQ(s.argInt("h"), 0);
    EXPECT_EQ(s.argInt("i"), 0);
    EXPECT_FLOAT_EQ(s.argFloat("i"), 0.0f);  // too long for an integer, still written as one
    EXPECT_FLOAT_EQ(s.argFloat("j"), 100.0f);
    EXPECT_EQ(s.argInt("j"), 0);
    EXPECT_EQ(s.argInt("k"), 0);
}

TEST_F(Getters, WrongTypesAndMissingMembersGiveDefaults) {
    auto& s = parsed(R"({"FuncName":5,"argument":{"devIndex":"1","s":7,"b":true,"n":null,"o":{},"f":"2.5"}})");
    EXPECT_EQ(s.envelopeString("FuncName"), "");
    EXPECT_EQ(s.envelopeString("tag"), "");
    EXPECT_EQ(s.argInt("devIndex"), 0);
    EXPECT_EQ(s.argString("s"), "");
    EXPECT_EQ(s.argInt("b"), 0);
    EXPECT_EQ(s.argInt("n"), 0);
    EXPECT_EQ(s.argString("o"), "");
    EXPECT_FLOAT_EQ(s.argFloat("f"), 0.0f);
    EXPECT_EQ(s.argInt("missing"), 0);
}

TEST_F(Getters, ArgumentThatIsNotAnObjectGivesDefaults) {
    for (const char* text : {R"({"FuncName":"camGetDevCount"})",
                             R"({"argument":[1,2,3]})",
                             R"({"argument":null})",
                             R"({"argument":"devIndex"})",
                             R"({"argument":5})"}) {
        auto& s = parsed(text);
        EXPECT_EQ(s.argInt("devIndex"), 0) << text;
        EXPECT_EQ(s.argString("0"), "") << text;
        EXPECT_FLOAT_EQ(s.argFloat("devIndex"), 0.0f) << text;
    }
}

TEST_F(Getters, CommentsAreAllowedAndKeysAreExact) {
    auto& s = parsed("/* page */ {\"FuncName\":\"camGetDevCount\", // why\n \"argument\":{\"DevIndex\":4}}");
    EXPECT_EQ(s.envelopeString("FuncName"), "camGetDevCount");
    EXPECT_EQ(s.argInt("devIndex"), 0);
    EXPECT_EQ(s.argInt("DevIndex"), 4);
}

TEST_F(Getters, NonObjectTextsDoNotParse) {
    CommandService& s = harness_.service();
    for (const char* text : {"", "null", "[1]", "5", "\"camGetDevCount\"", "true", "{", "not json",
                             "{\"FuncName\":}"}) {
        EXPECT_FALSE(s.parseRequest(text)) << text;
        EXPECT_EQ(s.envelopeString("FuncName"), "") << text;
    }
    // Nesting beyond JsonCpp's limit makes it throw; that is a text like any other that fails.
    EXPECT_FALSE(s.parseRequest(std::string(100000, '[') + std::string(100000, ']')));
    EXPECT_FALSE(s.parseRequest("{\"a\":" + std::string(5000, '{')));
}

TEST(CommandServiceLifecycle, InitialisesTheLibraryAndIsReachableProcessWide) {
    pictavo_fake::Fake::reset();
    {
        ScratchDirectory scratch;
        CommandService service(scratch.path(), nullptr);
        EXPECT_EQ(pictavo_fake::Fake::callLog(), std::vector<std::string>{"camInitCameraLib()"});
        EXPECT_EQ(CommandService::instance(), &service);
        EXPECT_EQ(service.previewTempPath(), scratch.path() + "/a.jpg");
        EXPECT_FALSE(service.pushSuspended);
        EXPECT_TRUE(service.pdfListReady);
        EXPECT_EQ(service.currentDevice, 0);
        service.sendReply("x", "y", false);  // no sink: dropped
    }
    EXPECT_EQ(CommandService::instance(), nullptr);
    pictavo_fake::Fake::reset();
}

TEST(CommandServiceLifecycle, ACallbackUnderWayKeepsTheServiceAndLaterOnesFindNone) {
    pictavo_fake::Fake::reset();
    std::atomic<bool> inside{false};
    std::atomic<bool> sawService{false};
    std::thread callback;
    {
        ScratchDirectory scratch;
        CommandService service(scratch.path(), nullptr);
        callback = std::thread([&] {
            const CommandService::CallbackAccess access;
            sawService = access.service() == &service;
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            // Still usable: the destructor waits for this callback.
            access.service()->sendReply("x", "y", false);
            inside = false;
        });
        while (!inside) std::this_thread::yield();
    }
    EXPECT_FALSE(inside) << "the service went while a callback was using it";
    callback.join();
    EXPECT_TRUE(sawService);
    const CommandService::CallbackAccess late;
    EXPECT_EQ(late.service(), nullptr);
    pictavo_fake::Fake::reset();
}

TEST(CommandServiceReplies, SendReplyIsSafeFromManyThreads) {
    ServiceHarness harness;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&harness, t] {
            for (int i = 0; i < 200; ++i) harness.service().sendReply("AutoCaptureBack", std::to_string(t), false);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(harness.sent().size(), 800u);
}

}  // namespace
}  // namespace lenvaro
