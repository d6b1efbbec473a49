// What GET /status tells of the camera after sequences of commands over the recording fake:
// only what the library accepted, each camera's settings kept across a close, and what a close
// or a release of the library ends.
#include "camera/camera_status.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "camera_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

// One request; `failing` names a library function that answers -2 during it.
struct Step {
    std::string request;
    const char* failing = nullptr;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
    std::string expected;  // the members, with a recording's seconds as S
};

std::string open(int device, int subtype, int width, int height) {
    return R"({"FuncName":"camOpenDev","argument":{"devIndex":)" + std::to_string(device) + R"(,"subtype":)" +
           std::to_string(subtype) + R"(,"width":)" + std::to_string(width) + R"(,"height":)" +
           std::to_string(height) + "}}";
}
std::string command(const std::string& name, const std::string& arguments = "{}") {
    return R"({"FuncName":")" + name + R"(","argument":)" + arguments + "}";
}

const std::string kNone = R"("cameras":[],"previewWidth":0,"recording":null,"autoCapture":null,"pdfList":0)";

std::string camera(const std::string& fields) { return R"("cameras":[{)" + fields + "}]"; }
const std::string kRest = R"(,"previewWidth":0,"recording":null,"autoCapture":null,"pdfList":0)";

std::string membersOf(CommandService& service) {
    return std::regex_replace(service.statusMembers(), std::regex(R"("seconds":\d+)"), R"("seconds":S)");
}

void runSteps(ServiceHarness& harness, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        if (step.failing != nullptr) Fake::program(step.failing, Outcome::returns(-2));
        harness.request(step.request);
        if (step.failing != nullptr) Fake::programSequence(step.failing, {});
    }
}

class CameraStatusCommands : public CameraTest {
protected:
    std::string members() { return membersOf(service()); }
    void run(const std::vector<Step>& steps) { runSteps(harness_, steps); }
};

TEST(CameraStatusSequences, OnlyWhatTheLibraryAccepted) {
    const std::string openCamera1 = R"("device":1,"mediaType":2,"width":1280,"height":720)";
    const std::string noSettings = R"(,"rotation":0,"cropType":0,"cropBox":null)";
    const std::string openCamera0 = R"("device":0,"mediaType":0,"width":640,"height":480)";
    const std::string startRecording = command("camStartRecord", R"({"filePath":"/v.avi"})");
    const std::string startAutoCapture = command("camStartAutoCapture", R"({"type":0,"param":1,"filePath":"/a.jpg"})");
    const Sequence sequences[] = {
        {"nothing yet", {}, kNone},
        {"an open camera", {{open(1, 2, 1280, 720)}}, camera(openCamera1 + noSettings) + kRest},
        {"a failed open leaves none (the last one was closed)",
         {{open(1, 2, 1280, 720)}, {open(0, 0, 0, 0), "camOpenDev"}}, kNone},
        {"closing another index keeps it, closing it ends it",
         {{open(1, 2, 1280, 720)}, {command("camCloseDev", R"({"devIndex":0})")}},
         camera(openCamera1 + noSettings) + kRest},
        {"closed whatever the close answers",
         {{open(1, 2, 1280, 720)}, {command("camCloseDev", R"({"devIndex":1})"), "camCloseDev"}}, kNone},
        {"rotation and a custom box; a refused rotation changes nothing",
         {{open(1, 2, 1280, 720)},
          {command("camSetImageRotateMode", R"({"rotateMode":1})")},
          {command("camSetImageRotateMode", R"({"rotateMode":7})"), "camSetImageRotateMode"},
          {command("camSetImageCusCropRect", R"({"left":10,"top":20,"right":300,"bottom":200})")}},
         camera(openCamera1 + R"(,"rotation":1,"cropType":0,"cropBox":{"left":10,"top":20,"right":300,"bottom":200})") + kRest},
        {"an automatic crop drops the box, a box drops the automatic crop",
         {{open(1, 2, 1280, 720)},
          {command("camSetImageCusCropRect", R"({"left":10,"top":20,"right":300,"bottom":200})")},
          {command("camSetImageAutoCrop", R"({"CropType":2})")}},
         camera(openCamera1 + R"(,"rotation":0,"cropType":2,"cropBox":null)") + kRest},
        {"a refused box keeps the automatic crop",
         {{open(1, 2, 1280, 720)},
          {command("camSetImageAutoCrop", R"({"CropType":1})")},
          {command("camSetImageCusCropRect", R"({"left":9,"top":9,"right":1,"bottom":1})"), "camSetImageCusCropRect"}},
         camera(openCamera1 + R"(,"rotation":0,"cropType":1,"cropBox":null)") + kRest},
        {"settings belong to the camera and outlive a close",
         {{open(1, 2, 1280, 720)},
          {command("camSetImageRotateMode", R"({"rotateMode":3})")},
          {open(0, 0, 640, 480)},
          {open(1, 2, 1280, 720)}},
         camera(openCamera1 + R"(,"rotation":3,"cropType":0,"cropBox":null)") + kRest},
        {"releasing the library forgets them",
         {{open(1, 2, 1280, 720)},
          {command("camSetImageRotateMode", R"({"rotateMode":3})")},
          {command("camUnInitCameraLib")},
          {open(1, 2, 1280, 720)}},
         camera(openCamera1 + noSettings) + kRest},
        {"media type and size follow what the library accepted",
         {{open(1, 2, 1280, 720)},
          {command("camSetMediaType", R"({"iMediaIndex":1})")},
          {command("camSetMediaType", R"({"iMediaIndex":5})"), "camSetMediaType"},
          {command("camSetResolution", R"({"index":3})"), "camSetResolution"}},
         camera(R"("device":1,"mediaType":1,"width":1280,"height":720)" + noSettings) + kRest},
        {"recording, auto capture and the preview width",
         {{open(0, 0, 640, 480)},
          {startRecording},
          {startAutoCapture},
          {command("PreZoneSize", R"({"width":320})")}},
         camera(openCamera0 + noSettings) +
             R"(,"previewWidth":320,"recording":{"device":0,"seconds":S},"autoCapture":{"device":0,"captured":0},"pdfList":0)"},
        {"stopped, also when the stop complains, or refused at the start",
         {{open(0, 0, 640, 480)},
          {startRecording},
          {command("camStopRecord"), "camStopRecord"},
          {startAutoCapture, "camStartAutoCapture"}},
         camera(openCamera0 + noSettings) + kRest},
        {"closing the camera ends its recording; auto capture outlasts it",
         {{open(0, 0, 640, 480)},
          {startRecording},
          {startAutoCapture},
          {command("camCloseDev", R"({"devIndex":0})")}},
         R"("cameras":[],"previewWidth":0,"recording":null,"autoCapture":{"device":0,"captured":0},"pdfList":0)"},
        {"releasing the library ends auto capture",
         {{open(0, 0, 640, 480)},
          {startAutoCapture},
          {command("camUnInitCameraLib")}},
         kNone},
    };
    for (const Sequence& sequence : sequences) {
        resetPreview();
        ServiceHarness harness;
        runSteps(harness, sequence.steps);
        EXPECT_EQ(membersOf(harness.service()), sequence.expected) << sequence.name;
    }
    resetPreview();
}

TEST_F(CameraStatusCommands, ThePdfListCountsWhatTheLibraryListed) {
    const std::string page = service().scratchDirectory() + "/page.jpg";
    std::ofstream(page) << "x";
    const std::string add = command("camAddFileToPDFList", R"({"filePath":")" + page + R"("})");
    run({{add}, {add}, {add, "camAddFileToPDFList"}, {add}});
    EXPECT_NE(members().find(R"("pdfList":3)"), std::string::npos) << members();
    // A combine without a file name leaves the library's list as it is; any other empties it.
    run({{command("camCombinePDF", R"({"filePath":""})")}});
    EXPECT_NE(members().find(R"("pdfList":3)"), std::string::npos) << members();
    run({{command("camCombinePDF", R"({"filePath":"/out.pdf"})"), "camCombinePDF"}});
    EXPECT_NE(members().find(R"("pdfList":0)"), std::string::npos) << members();
}

TEST_F(CameraStatusCommands, FramesTellTheSizeTheCameraRunsAt) {
    request(open(0, 0, 0, 0));
    EXPECT_NE(members().find(R"("width":0,"height":0)"), std::string::npos) << members();
    // Also while no page watches the preview.
    service().pushSuspended = true;
    ASSERT_TRUE(Fake::deliverPreviewFrame(800, 600));
    EXPECT_NE(members().find(R"("width":800,"height":600)"), std::string::npos) << members();
    // A new size asked: as asked until the next frame.
    Fake::program("camGetResolution", Outcome().withInts({1024, 768}));
    request(command("camSetResolution", R"({"index":1})"));
    EXPECT_NE(members().find(R"("width":1024,"height":768)"), std::string::npos) << members();
}

TEST(CameraStatus, RecordingTimeAndOneCameraAtATime) {
    CameraStatus status;
    const auto start = CameraStatus::Clock::now();
    status.opened(2, 1, 100, 50);
    status.recordingStarted(2, start);
    EXPECT_NE(status.jsonMembers(640, 0, start + std::chrono::seconds(75)).find(R"("recording":{"device":2,"seconds":75})"),
              std::string::npos);
    status.opened(3, 0, 10, 10);
    const std::string json = status.jsonMembers(0, 4, start);
    EXPECT_EQ(json.find(R"("device":2,"mediaType")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("device":3)"), std::string::npos) << json;
}

}  // namespace
}  // namespace lenvaro
