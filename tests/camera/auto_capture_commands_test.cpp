#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "camera/auto_capture.h"
#include "camera_test.h"
#include "common/base64.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class AutoCapture : public lenvaro::testing::CameraTest {
  protected:
    AutoCapture() {
        service().currentDevice = 1;
        Fake::program("camStartAutoCapture", Outcome::returns(0));
    }
    void start(const std::string& path, int param) {
        request(R"({"FuncName":"camStartAutoCapture","argument":{"type":2,"param":)" +
                std::to_string(param) + R"(,"filePath":")" + path + R"("}})");
    }
    // Delivers one event and returns what it pushed.
    Texts deliver(int event, bool expectedResult) {
        const size_t before = harness_.sent().size();
        EXPECT_EQ(Fake::deliverAutoCaptureEvent(event), expectedResult) << event;
        const Texts all = harness_.sent();
        return Texts(all.begin() + static_cast<long>(before), all.end());
    }
    static std::string back(const std::string& value) { return quoted("AutoCaptureBack", value); }
};

TEST_F(AutoCapture, StartArmsTheCallbackAndReplies) {
    Fake::program("camStartAutoCapture", Outcome::returns(-4));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camStartAutoCapture","argument":{"type":2,"param":7,"filePath":"/s/p.jpg"}})"),
        Texts{quoted("camStartAutoCapture", "-4")});
    EXPECT_EQ(calls(), Texts{"camStartAutoCapture(1, 2, 7, cb)"});
    EXPECT_EQ(service().autoCapturePath(), "/s/p.jpg");
    EXPECT_EQ(service().autoCaptureParam, 7);
    EXPECT_NE(Fake::autoCaptureCallback(), nullptr);
}

TEST_F(AutoCapture, MatchingEventPushesTheValueCapturesANumberedFileThenPushesZero) {
    start(R"(E:\\a\\b.jpg)", 7);
    Fake::clearCalls();
    EXPECT_EQ(deliver(7, true), Texts({back("7"), back("0")}));
    EXPECT_EQ(deliver(7, true), Texts({back("7"), back("0")}));
    EXPECT_EQ(calls(), Texts({R"(camCaptureImageFile(1, "E:\a\b1.jpg"))",
                              R"(camCaptureImageFile(1, "E:\a\b2.jpg"))"}));
    EXPECT_EQ(service().autoCaptureCount, 2);
}

TEST_F(AutoCapture, OtherEventsArePushedWithoutCapturing) {
    start("/s/p.jpg", 7);
    Fake::clearCalls();
    EXPECT_EQ(deliver(3, false), Texts{back("3")});
    EXPECT_EQ(deliver(-1, false), Texts{back("18446744073709551615")});
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(service().autoCaptureCount, 0);
}

TEST_F(AutoCapture, NoCaptureWhilePushesAreSuspended) {
    start("/s/p.jpg", 7);
    Fake::clearCalls();
    service().pushSuspended = true;
    // The event value still goes to the send path (which drops it while no page is connected).
    EXPECT_EQ(deliver(7, false), Texts{back("7")});
    EXPECT_TRUE(calls().empty());
    service().pushSuspended = false;
    EXPECT_EQ(deliver(7, true).size(), 2u);
    EXPECT_EQ(calls(), Texts{R"(camCaptureImageFile(1, "/s/p1.jpg"))"});
}

TEST_F(AutoCapture, StopKeepsTheStateAndAStartRestartsTheNumbering) {
    start("/s/p.jpg", 7);
    deliver(7, true);
    deliver(7, true);
    Fake::program("camStopAutoCapture", Outcome::returns(-3));
    EXPECT_EQ(request(R"({"FuncName":"camStopAutoCapture"})"),
              Texts{quoted("camStopAutoCapture", "-3")});
    EXPECT_EQ(service().autoCaptureCount, 2);
    EXPECT_EQ(service().autoCapturePath(), "/s/p.jpg");
    start("/s/q", 5);
    Fake::clearCalls();
    deliver(5, true);
    EXPECT_EQ(calls(), Texts{R"(camCaptureImageFile(1, "/s/q1"))"});
}

TEST_F(AutoCapture, EventsMayArriveWhileAutoCaptureIsRestarted) {
    start("/s/p.jpg", 1);
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::thread library([&] {
        while (!stop) {
            Fake::deliverAutoCaptureEvent(1);
            ++delivered;
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto waitFor = [&](int events) {
        while (delivered < events && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    };
    for (int i = 0; i < 50; ++i) {
        start(i % 2 == 0 ? "/s/even.jpg" : "/s/odd.jpg", 1);
        service().pushSuspended = i % 5 == 0;
        waitFor(2 * i);
    }
    service().pushSuspended = false;
    waitFor(delivered + 2);
    stop = true;
    library.join();
    // Every capture went to a whole, numbered name of one of the templates.
    const std::regex wellFormed(R"(camCaptureImageFile\(1, "/s/(p|even|odd)[0-9]+\.jpg"\))");
    const Texts captures = Fake::callLog("camCaptureImageFile");
    EXPECT_FALSE(captures.empty());
    for (const std::string& call : captures)
        EXPECT_TRUE(std::regex_match(call, wellFormed)) << call;
}

TEST(NumberedCapturePath, NumberGoesBeforeTheExtensionOfTheFileName) {
    EXPECT_EQ(numberedCapturePath(R"(D:\scan\page.jpg)", 1), R"(D:\scan\page1.jpg)");
    EXPECT_EQ(numberedCapturePath(R"(E:\a\b)", 2), R"(E:\a\b2)");
    EXPECT_EQ(numberedCapturePath("/home/u/scan.d/page", 3), "/home/u/scan.d/page3");
    EXPECT_EQ(numberedCapturePath("/home/u/page.tar.gz", 4), "/home/u/page.tar4.gz");
    EXPECT_EQ(numberedCapturePath("C:page.jpg", 5), "C:page5.jpg");
    EXPECT_EQ(numberedCapturePath("C:.jpg", 6), "C:6.jpg");
    EXPECT_EQ(numberedCapturePath("", 7), "7");
    EXPECT_EQ(numberedCapturePath("/s/", 8), "/s/8");
    EXPECT_EQ(numberedCapturePath("/s/p.jpg", -2147483647 - 1), "/s/p-2147483648.jpg");
}

class Base64Capture : public lenvaro::testing::CameraTest {
  protected:
    std::string writeFile(const std::string& name, const std::string& bytes) {
        const std::string path = service().scratchDirectory() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
};

TEST_F(Base64Capture, FileEncodeBase64AnswersWithBothMarkersAndKeepsLineBreaks) {
    const std::string bytes(100, '\x5a');
    const std::string path = writeFile("f.bin", bytes);
    const std::string expected = base64Encode(bytes);
    ASSERT_EQ(expected.find("\r\n"), 76u);
    EXPECT_EQ(
        request(R"({"FuncName":"FileEncodeBase64","argument":{"filePath":")" + path + R"("}})"),
        Texts{"$*$FileEncodeBase64$*$" + expected});
    EXPECT_EQ(request(R"({"FuncName":"FileEncodeBase64","argument":{"filePath":"/no/such/file"}})"),
              Texts{"$*$FileEncodeBase64$*$"});
    EXPECT_TRUE(calls().empty());
}

TEST_F(Base64Capture, CaptureEncodeBase64RepliesTheCaptureWithoutLineBreaksAndRemovesIt) {
    service().currentDevice = 3;
    // The fake writes nothing; the file stands for what the library captured.
    const std::string bytes(200, '\x01');
    const std::string path = writeFile("CaptureBase64.jpg", bytes);
    std::string expected = base64Encode(bytes);
    replaceAll(expected, "\r\n", "");
    EXPECT_EQ(request(R"({"FuncName":"CaptureEncodeBase64"})"),
              Texts{quoted("CaptureEncodeBase64", expected)});
    EXPECT_EQ(calls(), Texts{"camCaptureImageFile(3, \"" + path + "\")"});
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    // Nothing captured: an empty answer.
    EXPECT_EQ(request(R"({"FuncName":"CaptureEncodeBase64"})"),
              Texts{quoted("CaptureEncodeBase64", "")});
}

TEST_F(AutoCapture, SecondTableCommands) {
    Fake::program("camCaptureBook", Outcome::returns(-3));
    Fake::program("camEnableBuzzer", Outcome::returns(-5));
    Fake::program("camSetRemoveFinger", Outcome::returns(-4));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camCaptureBook","argument":{"filepath1":"/l.jpg","filepath2":"/r.jpg"}})"),
        Texts{quoted("camCaptureBook", "-3")});
    // The buzzer uses the camera opened last successfully, 0 before any.
    EXPECT_EQ(
        request(
            R"({"FuncName":"EnableBuzzer","argument":{"nCount":2,"Duration":100,"Interval":50}})"),
        Texts{quoted("EnableBuzzer", "-5")});
    request(R"({"FuncName":"camOpenDev","argument":{"devIndex":2}})");
    request(R"({"FuncName":"EnableBuzzer","argument":{"nCount":1}})");
    EXPECT_EQ(request(R"({"FuncName":"camSetRemoveFinger","argument":{"param":9}})"),
              Texts{quoted("camSetRemoveFinger", "-4")});
    const Texts log = calls();
    EXPECT_EQ(log.front(), R"(camCaptureBook("/l.jpg", "/r.jpg"))");
    EXPECT_EQ(log[1], "camEnableBuzzer(0, 2, 100, 50)");
    EXPECT_EQ(log[log.size() - 2], "camEnableBuzzer(2, 1, 0, 0)");
    EXPECT_EQ(log.back(), "camSetRemoveFinger(9)");
}

}  // namespace
}  // namespace lenvaro
