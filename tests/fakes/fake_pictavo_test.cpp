// Tests of the recording fake itself: what it records, what it writes, and how it calls back.
#include "fake_pictavo.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/base64.h"

namespace pictavo_fake {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "fake_pictavo_" + std::to_string(::getpid()) + "_" + name;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class FakeTest : public ::testing::Test {
  protected:
    void SetUp() override { clearEnvironment(); }
    void TearDown() override { clearEnvironment(); }

    static void clearEnvironment() {
        ::unsetenv("PICTAVO_FAKE_LOG");
        ::unsetenv("PICTAVO_FAKE_SCRIPT");
        Fake::reset();
    }
};

// ---- The call log ----

using CallLog = FakeTest;

bool ignoreFrame(uint8_t*, int, int, int) { return true; }

TEST_F(CallLog, RendersEveryKindOfArgument) {
    camInitCameraLib();
    int count = 0;
    camGetDevCount(&count);
    camGetDevCount(nullptr);
    camOpenDev(1, 0, 1920, 1080);
    camGetDevName(-1);
    camSetImageWaterMark(0, "say \"hi\"", 1, 12, nullptr, 0, 1, 400, 45.5f, 0.25f, 255, 0, 0, 1);
    bool flag = true;
    camCheckImageFileSign("/tmp/a b.jpg", &flag);
    camRegCallBackPreviewImage(0, &ignoreFrame);
    camRegCallBackPreviewImage(0, nullptr);
    SignParam param{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, "/sign.png"};
    signSetParam(param);
    param.filepath = nullptr;
    signSetParam(param);

    EXPECT_THAT(
        Fake::callLog(),
        ElementsAre("camInitCameraLib()", "camGetDevCount(&0)", "camGetDevCount(null)",
                    "camOpenDev(1, 0, 1920, 1080)", "camGetDevName(-1)",
                    "camSetImageWaterMark(0, \"say \"hi\"\", 1, 12, null, 0, 1, 400, 45.5, "
                    "0.25, 255, 0, 0, 1)",
                    "camCheckImageFileSign(\"/tmp/a b.jpg\", &true)",
                    "camRegCallBackPreviewImage(0, cb)", "camRegCallBackPreviewImage(0, null)",
                    "signSetParam({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, \"/sign.png\"})",
                    "signSetParam({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, null})"));
}

TEST_F(CallLog, OutputBuffersShowWhetherTheWholeAbiSizeWasZeroed) {
    std::vector<char> pid(32, 0);
    camGetDevPid(0, pid.data());
    pid[31] = 'x';  // only the last byte of the buffer
    camGetDevPid(0, pid.data());
    camGetDevVid(0, nullptr);
    std::vector<char> text(2048, 0);
    int size = 2048;
    ocrGetBarcodeText(3, text.data(), &size);
    std::vector<uint8_t> record(PICTAVO_ID_CARD_RECORD_SIZE, 0);
    idcardrfidReadIDCard(record.data(), "");
    std::vector<char> answer(51200, 0);
    camUpdataFileHttp("/f.jpg", "http://h/u", "a=1", answer.data());
    std::vector<char> out(20480, 0);
    CamReadCard(1, 2, "info", "addr", out.data());

    EXPECT_THAT(Fake::callLog(),
                ElementsAre("camGetDevPid(0, zeroed[32])", "camGetDevPid(0, dirty[32])",
                            "camGetDevVid(0, null)", "ocrGetBarcodeText(3, zeroed[2048], &2048)",
                            "idcardrfidReadIDCard(zeroed[776], \"\")",
                            "camUpdataFileHttp(\"/f.jpg\", \"http://h/u\", \"a=1\", zeroed[51200])",
                            "CamReadCard(1, 2, \"info\", \"addr\", zeroed[20480])"));
}

TEST_F(CallLog, InputBuffersAreCopiedIntoTheCall) {
    std::vector<uint8_t> first(1024, 1);
    std::vector<uint8_t> second(1024, 2);
    second[1023] = 9;
    fingerprintContrast(first.data(), second.data());
    std::vector<uint8_t> raw(262144, 7);
    std::vector<uint8_t> feature(1024, 0);
    fingerprintGetFeature(raw.data(), feature.data());
    fingerprintContrast(nullptr, second.data());

    const std::vector<Call> calls = Fake::calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].str(), "fingerprintContrast(bytes[1024], bytes[1024])");
    EXPECT_THAT(calls[0].inputBytes, ElementsAre(first, second));
    EXPECT_EQ(calls[1].str(), "fingerprintGetFeature(bytes[262144], zeroed[1024])");
    EXPECT_THAT(calls[1].inputBytes, ElementsAre(raw));
    // A null input keeps its place in inputBytes, so indices still match the arguments.
    EXPECT_EQ(calls[2].str(), "fingerprintContrast(null, bytes[1024])");
    EXPECT_THAT(calls[2].inputBytes, ElementsAre(std::vector<uint8_t>{}, second));
}

TEST_F(CallLog, FiltersByFunctionAndClears) {
    camOpenDev(0, 0, 640, 480);
    camCloseDev(0);
    camOpenDev(1, 0, 1920, 1080);
    EXPECT_THAT(Fake::callLog("camOpenDev"),
                ElementsAre("camOpenDev(0, 0, 640, 480)", "camOpenDev(1, 0, 1920, 1080)"));
    EXPECT_TRUE(Fake::callLog("camGetDevCount").empty());
    Fake::clearCalls();
    EXPECT_TRUE(Fake::callLog().empty());
}

// ---- Programming outcomes ----

using Programming = FakeTest;

TEST_F(Programming, NothingProgrammedReturnsZeroAndLeavesOutputsAlone) {
    int count = 7;
    EXPECT_EQ(camGetDevCount(&count), 0);
    EXPECT_EQ(count, 7);
    std::vector<char> pid(32, 'x');
    EXPECT_EQ(camGetDevPid(0, pid.data()), 0);
    EXPECT_THAT(pid, Each('x'));
    const char* name = camGetDevName(0);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "");
}

TEST_F(Programming, WritesIntsBoolsTextsAndBytesInArgumentOrder) {
    Fake::program("camGetResolution", Outcome::returns(-3).withInts({std::nullopt, 1080}));
    int width = 11;
    int height = 22;
    EXPECT_EQ(camGetResolution(0, 0, 0, &width, &height), -3);
    EXPECT_EQ(width, 11);
    EXPECT_EQ(height, 1080);

    Fake::program("camCheckImageFileSign", Outcome().withInts({5}));
    bool signedFlag = false;
    camCheckImageFileSign("a.jpg", &signedFlag);
    EXPECT_TRUE(signedFlag);

    // Exactly the text and its terminating zero; the rest of the buffer stays as it was.
    Fake::program("camGetDevPid", Outcome().withTexts({"0A1B"}));
    std::vector<char> pid(32, 'x');
    camGetDevPid(0, pid.data());
    EXPECT_EQ(std::string(pid.data(), 6), std::string("0A1B\0x", 6));

    Fake::program("otrGetResultInfo", Outcome().withTexts({"Name", "Value"}));
    std::vector<char> name(1024, 0);
    std::vector<char> value(10000, 0);
    otrGetResultInfo(0, name.data(), value.data());
    EXPECT_STREQ(name.data(), "Name");
    EXPECT_STREQ(value.data(), "Value");

    Fake::program("ocrGetBarcodeText", Outcome().withTexts({"12345"}).withInts({5}));
    std::vector<char> text(2048, 0);
    int size = 2048;
    ocrGetBarcodeText(0, text.data(), &size);
    EXPECT_STREQ(text.data(), "12345");
    EXPECT_EQ(size, 5);

    std::vector<uint8_t> record(PICTAVO_ID_CARD_RECORD_SIZE, 0);
    putUtf16(record, 60, u"\u7537");
    Fake::program("idcardrfidReadIDCard", Outcome().withBytes({record}));
    std::vector<uint8_t> received(PICTAVO_ID_CARD_RECORD_SIZE, 0);
    idcardrfidReadIDCard(received.data(), "/p.bmp");
    EXPECT_EQ(received, record);
    EXPECT_EQ(received[60], 0x37);
    EXPECT_EQ(received[61], 0x75);
}

TEST_F(Programming, BarcodeSetsGoThroughBytesOf) {
    auto set = std::make_unique<BarcodeResultSet>();
    std::memset(set.get(), 0, sizeof(BarcodeResultSet));
    std::strcpy(set->results[0].text1, "QR");
    set->count = 1;
    Fake::program("coderRecognizeBarcode", Outcome().withBytes({bytesOf(*set)}));
    auto received = std::make_unique<BarcodeResultSet>();
    std::memset(received.get(), 0, sizeof(BarcodeResultSet));
    coderRecognizeBarcode("/b.png", reinterpret_cast<uint8_t*>(received.get()));
    EXPECT_EQ(received->count, 1);
    EXPECT_STREQ(received->results[0].text1, "QR");
}

TEST_F(Programming, ReturnedTextsStayValidUntilTheSameFunctionIsCalledAgain) {
    Fake::program("camGetDevName", Outcome::returnsText("Cam A"));
    Fake::program("camGetMediaTypeName", Outcome::returnsText("MJPG"));
    const char* name = camGetDevName(0);
    const char* media = camGetMediaTypeName(0, 0);
    EXPECT_STREQ(name, "Cam A");
    EXPECT_STREQ(media, "MJPG");

    Outcome none;
    none.returnsNull = true;
    Fake::program("camGetDevCusSN", none);
    EXPECT_EQ(camGetDevCusSN(0), nullptr);
}

TEST_F(Programming, SequencesAdvanceAndRepeatTheirLastOutcome) {
    Fake::programSequence("camGetDevName",
                          {Outcome::returnsText("Cam A"), Outcome::returnsText("Cam B")});
    EXPECT_STREQ(camGetDevName(0), "Cam A");
    EXPECT_STREQ(camGetDevName(1), "Cam B");
    EXPECT_STREQ(camGetDevName(2), "Cam B");

    // Programming again starts over; an empty sequence unprograms.
    Fake::programSequence("camOpenDev", {Outcome::returns(-1), Outcome::returns(0)});
    EXPECT_EQ(camOpenDev(0, 0, 1, 1), -1);
    Fake::programSequence("camOpenDev", {Outcome::returns(-2), Outcome::returns(0)});
    EXPECT_EQ(camOpenDev(0, 0, 1, 1), -2);
    EXPECT_EQ(camOpenDev(0, 0, 1, 1), 0);
    Fake::programSequence("camOpenDev", {});
    EXPECT_EQ(camOpenDev(0, 0, 1, 1), 0);
}

TEST_F(Programming, ResetForgetsCallsProgramsAndCallbacks) {
    Fake::program("camOpenDev", Outcome::returns(-5));
    camRegCallBackPreviewImage(0, &ignoreFrame);
    camOpenDev(0, 0, 1, 1);
    Fake::reset();
    EXPECT_TRUE(Fake::calls().empty());
    EXPECT_EQ(Fake::previewCallback(), nullptr);
    EXPECT_EQ(camOpenDev(0, 0, 1, 1), 0);
}

TEST_F(Programming, DelayHoldsTheCallAndIsRecordedAtItsStart) {
    Fake::program("camCaptureImageFile", Outcome().delayed(100));
    const auto start = std::chrono::steady_clock::now();
    std::thread caller([] { camCaptureImageFile(0, "/c.jpg"); });
    // The call is in the log while it is still running.
    while (Fake::calls().empty()) std::this_thread::yield();
    caller.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

// Mistakes in a test abort it loudly instead of overrunning the caller's buffer.
using ProgrammingDeathTest = FakeTest;

TEST_F(ProgrammingDeathTest, OutputsMustFitTheCallersBuffer) {
    std::vector<char> pid(32, 0);
    Fake::program("camGetDevPid", Outcome().withTexts({std::string(31, 'a')}));
    camGetDevPid(0, pid.data());
    EXPECT_EQ(std::string(pid.data()), std::string(31, 'a'));

    Fake::program("camGetDevPid", Outcome().withTexts({std::string(32, 'a')}));
    EXPECT_DEATH(camGetDevPid(0, pid.data()), "camGetDevPid.*32 bytes.*holds 32");

    Fake::program("camGetBankCardInfo", Outcome().withBytes({std::vector<uint8_t>(109)}));
    std::vector<uint8_t> text(108, 0);
    EXPECT_DEATH(camGetBankCardInfo(text.data()), "camGetBankCardInfo.*109 bytes.*holds 108");
}

TEST_F(ProgrammingDeathTest, OutputsMustExist) {
    Fake::program("camGetDevPid", Outcome().withTexts({"a", "b"}));
    std::vector<char> pid(32, 0);
    EXPECT_DEATH(camGetDevPid(0, pid.data()), "camGetDevPid: programmed 2 outTexts but .* 1");
    Fake::program("camOpenDev", Outcome().withInts({1}));
    EXPECT_DEATH(camOpenDev(0, 0, 1, 1), "camOpenDev: programmed 1 outInts but .* 0");
}

TEST_F(ProgrammingDeathTest, UnknownFunctionNamesAreRejected) {
    EXPECT_DEATH(Fake::program("camOpenDevice", Outcome()),
                 "no library function named camOpenDevice");
    EXPECT_DEATH(Fake::callLog("camopendev"), "no library function named camopendev");
}

TEST_F(ProgrammingDeathTest, CrashRaisesInsideTheCallAfterLoggingIt) {
    const std::string log = tempPath("crash.log");
    writeFile(log, "");
    ::setenv("PICTAVO_FAKE_LOG", log.c_str(), 1);
    Fake::program("camCloseDev", Outcome().crashing());
    EXPECT_DEATH(camCloseDev(3), "");
    EXPECT_EQ(readFile(log), "camCloseDev(3)\n");
    std::remove(log.c_str());
}

// ---- Callbacks ----

// What the test callbacks saw; they are plain functions, as the ABI requires.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    int frames = 0;
    std::thread::id thread;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    std::set<std::vector<uint8_t>> distinctFrames;
    int event = -1;
    int saved = -1;
    bool result = true;

    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        frames = 0;
        thread = {};
        pixels.clear();
        distinctFrames.clear();
        event = saved = -1;
        result = true;
    }
    bool waitForFrames(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return frames >= count; });
    }
    int frameCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }
};
Seen seen;

bool onFrame(uint8_t* pixels, int width, int height, int) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    ++seen.frames;
    seen.thread = std::this_thread::get_id();
    seen.width = width;
    seen.height = height;
    seen.pixels.assign(pixels, pixels + static_cast<size_t>(width) * height * 3);
    if (seen.distinctFrames.size() < 8) seen.distinctFrames.insert(seen.pixels);
    seen.changed.notify_all();
    return seen.result;
}

bool onAutoCapture(int event) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.thread = std::this_thread::get_id();
    seen.event = event;
    return true;
}

bool onSignSaved(bool saved) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.thread = std::this_thread::get_id();
    seen.saved = saved ? 1 : 0;
    return saved;
}

class Callbacks : public FakeTest {
  protected:
    void SetUp() override {
        FakeTest::SetUp();
        seen.clear();
    }
};

TEST_F(Callbacks, NothingIsDeliveredWithoutARegisteredCallback) {
    EXPECT_FALSE(Fake::deliverPreviewFrame(4, 2));
    EXPECT_FALSE(Fake::deliverAutoCaptureEvent(1));
    EXPECT_FALSE(Fake::deliverSignSaved(true));
    camRegCallBackPreviewImage(0, &onFrame);
    camRegCallBackPreviewImage(0, nullptr);
    EXPECT_FALSE(Fake::deliverPreviewFrame(4, 2));
    EXPECT_EQ(seen.frameCount(), 0);
}

TEST_F(Callbacks, PreviewFramesArriveOnAnotherThreadGreyUnlessPainted) {
    camRegCallBackPreviewImage(0, &onFrame);
    EXPECT_EQ(Fake::previewCallback(), &onFrame);

    EXPECT_TRUE(Fake::deliverPreviewFrame(4, 2));
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    EXPECT_EQ(seen.width, 4);
    EXPECT_EQ(seen.height, 2);
    ASSERT_EQ(seen.pixels.size(), 24u);
    EXPECT_THAT(seen.pixels, Each(128));

    // The callback's result comes back, and paint's pixels reach it (B, G, R, bottom row first).
    seen.result = false;
    EXPECT_FALSE(Fake::deliverPreviewFrame(4, 2, [](uint8_t* pixels, int, int) {
        pixels[0] = 0;
        pixels[1] = 0;
        pixels[2] = 255;
    }));
    EXPECT_EQ(seen.pixels[2], 255);
    EXPECT_EQ(seen.pixels[3], 128);
}

TEST_F(Callbacks, AutoCaptureAndSignSavedArriveOnAnotherThread) {
    camStartAutoCapture(0, 1, 2, &onAutoCapture);
    signSetSaveCallBack(&onSignSaved);
    EXPECT_THAT(Fake::callLog(),
                ElementsAre("camStartAutoCapture(0, 1, 2, cb)", "signSetSaveCallBack(cb)"));
    EXPECT_EQ(Fake::autoCaptureCallback(), &onAutoCapture);
    EXPECT_EQ(Fake::signSavedCallback(), &onSignSaved);

    EXPECT_TRUE(Fake::deliverAutoCaptureEvent(3));
    EXPECT_EQ(seen.event, 3);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    EXPECT_FALSE(Fake::deliverSignSaved(false));
    EXPECT_EQ(seen.saved, 0);
    EXPECT_TRUE(Fake::deliverSignSaved(true));
    EXPECT_EQ(seen.saved, 1);
}

TEST_F(Callbacks, PreviewStreamDeliversChangingFramesUntilStopped) {
    camRegCallBackPreviewImage(0, &onFrame);
    Fake::startPreviewStream(8, 4, 200);
    ASSERT_TRUE(seen.waitForFrames(3));
    Fake::stopPreviewStream();
    const int frames = seen.frameCount();
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_EQ(seen.width, 8);
        EXPECT_GE(seen.distinctFrames.size(), 2u);
        EXPECT_NE(seen.thread, std::this_thread::get_id());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen.frameCount(), frames);
}

// Library calls come from several threads while the test programs the fake.
TEST_F(FakeTest, ConcurrentCallsAreAllRecorded) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 200;
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                int count = 0;
                const int status = camGetDevCount(&count);
                if (status != 0 && status != -1) ++unexpected;
                camOpenDev(t, i, 0, 0);
            }
        });
    }
    for (int i = 0; i < 100; ++i) {
        Fake::program("camGetDevCount", Outcome::returns(i % 2 == 0 ? -1 : 0).withInts({i}));
        Fake::callLog("camOpenDev");
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(Fake::calls().size(), static_cast<size_t>(kThreads * kCalls * 2));
    EXPECT_EQ(Fake::callLog("camOpenDev").size(), static_cast<size_t>(kThreads * kCalls));
}

// ---- Cross-process control: the call log file and the script ----

using Files = Callbacks;

TEST_F(Files, EveryCallIsInTheLogFileAsSoonAsItReturns) {
    const std::string log = tempPath("calls.log");
    writeFile(log, "earlier run\n");
    ::setenv("PICTAVO_FAKE_LOG", log.c_str(), 1);
    camInitCameraLib();
    EXPECT_EQ(readFile(log), "earlier run\ncamInitCameraLib()\n");
    int count = 0;
    camGetDevCount(&count);
    camCaptureImageFile(0, "/c.jpg");
    EXPECT_EQ(readFile(log),
              "earlier run\ncamInitCameraLib()\ncamGetDevCount(&0)\n"
              "camCaptureImageFile(0, \"/c.jpg\")\n");
    std::remove(log.c_str());
}

TEST_F(Files, ScriptProgramsSequencesOutputsAndIsOverriddenInProcess) {
    std::vector<uint8_t> record(PICTAVO_SOCIAL_CARD_RECORD_SIZE, 0);
    putUtf16(record, 40, u"Li");
    const std::string script = tempPath("script.json");
    writeFile(script, R"({
        "camGetDevCount": [ {"status": 0, "outInts": [2]} ],
        "camGetDevName": [ {"text": "Cam A"}, {"text": "Cam B"} ],
        "camGetResolution": {"status": -2, "outInts": [null, 720]},
        "camGetDevCusSN": [ {"returnsNull": true} ],
        "camGetDevPid": [ {"outTexts": ["0A1B"]} ],
        "camGetSsseInfo": [ {"outBytes": [")" +
                          lenvaro::base64Encode(record.data(), record.size()) +
                          R"("]} ],
        "camOpenDev": [ {"status": -1} ]
    })");
    ::setenv("PICTAVO_FAKE_SCRIPT", script.c_str(), 1);
    Fake::program("camOpenDev", Outcome::returns(-7));

    int count = 0;
    EXPECT_EQ(camGetDevCount(&count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(camGetDevName(0), "Cam A");
    EXPECT_STREQ(camGetDevName(1), "Cam B");
    EXPECT_STREQ(camGetDevName(2), "Cam B");
    int width = 5;
    int height = 6;
    EXPECT_EQ(camGetResolution(0, 0, 0, &width, &height), -2);
    EXPECT_EQ(width, 5);
    EXPECT_EQ(height, 720);
    EXPECT_EQ(camGetDevCusSN(0), nullptr);
    std::vector<char> pid(32, 0);
    camGetDevPid(0, pid.data());
    EXPECT_STREQ(pid.data(), "0A1B");
    std::vector<uint8_t> received(PICTAVO_SOCIAL_CARD_RECORD_SIZE, 0);
    camGetSsseInfo(received.data());
    EXPECT_EQ(received, record);
    EXPECT_EQ(camOpenDev(0, 0, 1, 1), -7);
    std::remove(script.c_str());
}

TEST_F(Files, ScriptedStreamRunsFromRegistrationUntilTheDeviceCloses) {
    const std::string script = tempPath("stream.json");
    writeFile(script, R"({"previewStream": {"width": 16, "height": 8, "fps": 100}})");
    ::setenv("PICTAVO_FAKE_SCRIPT", script.c_str(), 1);
    camOpenDev(0, 0, 16, 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen.frameCount(), 0);

    camRegCallBackPreviewImage(0, &onFrame);
    ASSERT_TRUE(seen.waitForFrames(2));
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_EQ(seen.width, 16);
        EXPECT_EQ(seen.height, 8);
    }
    camCloseDev(0);
    // A frame under way may still land; after that the count stays put.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int frames = seen.frameCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(seen.frameCount(), frames);

    // Registering again restarts it; uninitialising the library stops it too.
    camRegCallBackPreviewImage(0, &onFrame);
    ASSERT_TRUE(seen.waitForFrames(frames + 2));
    camUnInitCameraLib();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int later = seen.frameCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(seen.frameCount(), later);
    std::remove(script.c_str());
}

using FilesDeathTest = FakeTest;

TEST_F(FilesDeathTest, MalformedScriptsAbortAtTheFirstCall) {
    const std::string script = tempPath("bad.json");
    ::setenv("PICTAVO_FAKE_SCRIPT", script.c_str(), 1);
    const auto expectRejected = [&](const std::string& content, const std::string& reason) {
        writeFile(script, content);
        Fake::reset();
        EXPECT_DEATH(camInitCameraLib(), reason) << content;
    };
    expectRejected(R"({"camOpenDev": [ {"stauts": 0} ]})", "stauts: unknown outcome key");
    expectRejected(R"({"camOpenDevice": [ {"status": 0} ]})", "no library function of that name");
    expectRejected(R"({"camGetSsseInfo": [ {"outBytes": ["not base64!"]} ]})", "not base64");
    expectRejected(R"({"camOpenDev": [ {"status": "0"} ]})", "status: expected an integer");
    expectRejected(R"({"camOpenDev": []})", "non-empty array");
    expectRejected(R"({"previewStream": {"width": 0, "height": 8, "fps": 10}})", "positive size");
    expectRejected("{", "bad.json");
    std::remove(script.c_str());
}

// ---- The exported interface ----

// Every function pictavo.h declares is exported by this library and can be programmed.
TEST_F(FakeTest, ExportsEveryFunctionOfTheHeader) {
    const std::string header = readFile(PICTAVO_HEADER_PATH);
    const std::regex declaration(R"((?:^|\n)(?:int|const char\*) (\w+)\()");
    std::vector<std::string> names;
    for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it) {
        names.push_back((*it)[1]);
    }
    ASSERT_EQ(names.size(), 119u);
    for (const std::string& name : names) {
        void* symbol = ::dlsym(RTLD_DEFAULT, name.c_str());
        ASSERT_NE(symbol, nullptr) << name;
        Dl_info info{};
        ASSERT_NE(::dladdr(symbol, &info), 0) << name;
        EXPECT_THAT(info.dli_fname, ::testing::EndsWith("/libpictavo.so")) << name;
        Fake::program(name, Outcome());
    }
}

}  // namespace
}  // namespace pictavo_fake
