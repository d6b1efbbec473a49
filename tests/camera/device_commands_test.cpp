#include <gtest/gtest.h>

#include "camera_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class DeviceCommands : public lenvaro::testing::CameraTest {};

TEST_F(DeviceCommands, InitRepliesTheStatusSignExtendedUnsigned) {
    Fake::program("camInitCameraLib", Outcome::returns(-1));
    EXPECT_EQ(request(R"({"FuncName":"camInitCameraLib"})"),
              Texts{R"({"FuncName":"camInitCameraLib","result":"18446744073709551615"})"});
    Fake::program("camInitCameraLib", Outcome::returns(0));
    EXPECT_EQ(request(R"({"FuncName":"camInitCameraLib"})"),
              Texts{R"({"FuncName":"camInitCameraLib","result":"0"})"});
    EXPECT_EQ(harness_.calls(), Texts({"camInitCameraLib()", "camInitCameraLib()"}));
}

TEST_F(DeviceCommands, UnInitClosesTheCurrentDeviceFirst) {
    harness_.service().currentDevice = 3;
    Fake::program("camCloseDev", Outcome::returns(-9));
    Fake::program("camUnInitCameraLib", Outcome::returns(-1));
    EXPECT_EQ(request(R"({"FuncName":"camUnInitCameraLib","argument":{"devIndex":1}})"),
              Texts{R"({"FuncName":"camUnInitCameraLib","result":"-1"})"});
    EXPECT_EQ(harness_.calls(), Texts({"camCloseDev(3)", "camUnInitCameraLib()"}));
    EXPECT_EQ(harness_.service().currentDevice, 3);  // nothing resets it
}

TEST_F(DeviceCommands, CloseDevClosesTheGivenIndexAndKeepsState) {
    harness_.service().currentDevice = 1;
    Fake::program("camCloseDev", Outcome::returns(-3));
    EXPECT_EQ(request(R"({"FuncName":"camCloseDev","argument":{"devIndex":2}})"),
              Texts{R"({"FuncName":"camCloseDev","result":"-3"})"});
    EXPECT_EQ(request(R"({"FuncName":"camCloseDev","argument":{"devIndex":"2"}})"),
              Texts{R"({"FuncName":"camCloseDev","result":"-3"})"});
    EXPECT_EQ(request(R"({"FuncName":"camCloseDev"})").size(), 1u);
    EXPECT_EQ(harness_.calls(), Texts({"camCloseDev(2)", "camCloseDev(0)", "camCloseDev(0)"}));
    EXPECT_EQ(harness_.service().currentDevice, 1);
}

TEST_F(DeviceCommands, DevCountPresetsZeroAndIgnoresTheStatus) {
    EXPECT_EQ(request(R"({"FuncName":"camGetDevCount"})"),
              Texts{R"({"FuncName":"camGetDevCount","result":"0"})"});
    Fake::program("camGetDevCount", Outcome::returns(-5).withInts({2}));
    EXPECT_EQ(request(R"({"FuncName":"camGetDevCount"})"),
              Texts{R"({"FuncName":"camGetDevCount","result":"2"})"});
    EXPECT_EQ(harness_.calls(), Texts({"camGetDevCount(&0)", "camGetDevCount(&0)"}));
}

TEST_F(DeviceCommands, DevNameListsEveryNameRaw) {
    Fake::program("camGetDevCount", Outcome().withInts({3}));
    Outcome nullName;
    nullName.returnsNull = true;
    Fake::programSequence("camGetDevName", {Outcome::returnsText("Doc Camera"),
                                            Outcome::returnsText("USB \"2\""), nullName});
    EXPECT_EQ(request(R"({"FuncName":"camGetDevName"})"),
              Texts{R"({"FuncName":"camGetDevName","result":["Doc Camera","USB "2"",""]})"});
    EXPECT_EQ(harness_.calls(), Texts({"camGetDevCount(&0)", "camGetDevName(0)", "camGetDevName(1)",
                                       "camGetDevName(2)"}));
}

TEST_F(DeviceCommands, DevNameWithoutCamerasIsOneEmptyString) {
    EXPECT_EQ(request(R"({"FuncName":"camGetDevName"})"),
              Texts{R"({"FuncName":"camGetDevName","result":[""]})"});
    Fake::program("camGetDevCount", Outcome().withInts({-4}));
    EXPECT_EQ(request(R"({"FuncName":"camGetDevName"})"),
              Texts{R"({"FuncName":"camGetDevName","result":[""]})"});
    EXPECT_EQ(harness_.calls(), Texts({"camGetDevCount(&0)", "camGetDevCount(&0)"}));
}

TEST_F(DeviceCommands, OpenDevClosesTheLastCameraThenOpensAndRegistersThePreview) {
    harness_.service().currentDevice = 4;
    Fake::program("camCloseDev", Outcome::returns(-3));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camOpenDev","argument":{"devIndex":1,"subtype":2,"width":1920,"height":1080}})"),
        Texts{quoted("camOpenDev", "0")});
    EXPECT_EQ(calls(), Texts({"camCloseDev(4)", "camOpenDev(1, 2, 1920, 1080)",
                              "camRegCallBackPreviewImage(1, cb)"}));
    EXPECT_EQ(service().currentDevice, 1);
    EXPECT_EQ(service().currentSubtype, 2);
    EXPECT_EQ(service().secondTableDevice, 1);
    EXPECT_NE(Fake::previewCallback(), nullptr);
}

TEST_F(DeviceCommands, FailedOpenLeavesTheStateAndRegistersNothing) {
    service().currentDevice = 1;
    service().currentSubtype = 3;
    service().secondTableDevice = 1;
    Fake::program("camOpenDev", Outcome::returns(-3));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camOpenDev","argument":{"devIndex":2,"subtype":0,"width":640,"height":480}})"),
        Texts{quoted("camOpenDev", "-3")});
    // The previous camera was still closed first.
    EXPECT_EQ(calls(), Texts({"camCloseDev(1)", "camOpenDev(2, 0, 640, 480)"}));
    EXPECT_EQ(service().currentDevice, 1);
    EXPECT_EQ(service().currentSubtype, 3);
    EXPECT_EQ(service().secondTableDevice, 1);
    EXPECT_EQ(Fake::previewCallback(), nullptr);
}

TEST_F(DeviceCommands, SecondOpenOfTheSameIndexClosesAndReopens) {
    const std::string open =
        R"({"FuncName":"camOpenDev","argument":{"devIndex":0,"subtype":1,"width":800,"height":600}})";
    request(open);
    request(open);
    EXPECT_EQ(calls(), Texts({"camCloseDev(0)", "camOpenDev(0, 1, 800, 600)",
                              "camRegCallBackPreviewImage(0, cb)", "camCloseDev(0)",
                              "camOpenDev(0, 1, 800, 600)", "camRegCallBackPreviewImage(0, cb)"}));
}

TEST_F(DeviceCommands, ClosedCameraStaysTheTargetOfLaterCommands) {
    request(R"({"FuncName":"camOpenDev","argument":{"devIndex":1}})");
    request(R"({"FuncName":"camCloseDev","argument":{"devIndex":1}})");
    Fake::clearCalls();
    request(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":"/tmp/x.jpg"}})");
    EXPECT_EQ(calls(), Texts({"camCaptureImageFile(1, \"/tmp/x.jpg\")"}));
}

TEST_F(DeviceCommands, ResolutionCountAsksForMediaTypeZero) {
    service().currentDevice = 2;
    service().currentSubtype = 5;
    Fake::program("camGetResolutionCount", Outcome::returns(-1).withInts({7}));
    EXPECT_EQ(request(R"({"FuncName":"camGetResolutionCount"})"),
              Texts{quoted("camGetResolutionCount", "7")});
    Fake::program("camGetResolutionCount", Outcome::returns(-3));
    EXPECT_EQ(request(R"({"FuncName":"camGetResolutionCount"})"),
              Texts{quoted("camGetResolutionCount", "0")});
    EXPECT_EQ(calls(),
              Texts({"camGetResolutionCount(2, 0, &0)", "camGetResolutionCount(2, 0, &0)"}));
}

TEST_F(DeviceCommands, ResolutionListsTheCurrentSubtypeWithPresetsKeptAcrossItems) {
    service().currentDevice = 1;
    service().currentSubtype = 3;
    Fake::program("camGetResolutionCount", Outcome().withInts({3}));
    // The second item is not filled: it repeats the first, as the outputs are preset only once.
    Fake::programSequence(
        "camGetResolution",
        {Outcome().withInts({2592, 1944}), Outcome::returns(-2), Outcome().withInts({-1, 480})});
    EXPECT_EQ(
        request(R"({"FuncName":"camGetResolution"})"),
        Texts{
            R"({"FuncName":"camGetResolution","result":["2592*1944","2592*1944","18446744073709551615*480"]})"});
    EXPECT_EQ(calls(),
              Texts({"camGetResolutionCount(1, 3, &0)", "camGetResolution(1, 3, 0, &0, &0)",
                     "camGetResolution(1, 3, 1, &2592, &1944)",
                     "camGetResolution(1, 3, 2, &2592, &1944)"}));
    Fake::clearCalls();
    Fake::program("camGetResolutionCount", Outcome());
    EXPECT_EQ(request(R"({"FuncName":"camGetResolution"})"),
              Texts{R"({"FuncName":"camGetResolution","result":[""]})"});
}

TEST_F(DeviceCommands, SetResolutionLooksTheIndexUpFirst) {
    service().currentDevice = 1;
    service().currentSubtype = 2;
    Fake::program("camGetResolution", Outcome::returns(-5).withInts({1280, 720}));
    Fake::program("camSetResolution", Outcome::returns(-7));
    EXPECT_EQ(request(R"({"FuncName":"camSetResolution","argument":{"index":4}})"),
              Texts{quoted("camSetResolution", "-7")});
    // An index the library does not fill sets 0 by 0.
    Fake::program("camGetResolution", Outcome::returns(-2));
    Fake::program("camSetResolution", Outcome());
    EXPECT_EQ(request(R"({"FuncName":"camSetResolution","argument":{"index":99}})"),
              Texts{quoted("camSetResolution", "0")});
    EXPECT_EQ(calls(), Texts({"camGetResolution(1, 2, 4, &0, &0)", "camSetResolution(1, 1280, 720)",
                              "camGetResolution(1, 2, 99, &0, &0)", "camSetResolution(1, 0, 0)"}));
}

TEST_F(DeviceCommands, MediaTypesAreCountedListedAndSet) {
    service().currentDevice = 1;
    Fake::program("camGetMediaTypeCount", Outcome().withInts({2}));
    Fake::programSequence("camGetMediaTypeName",
                          {Outcome::returnsText("MJPG"), Outcome::returnsText("YUY2")});
    EXPECT_EQ(request(R"({"FuncName":"camGetMediaTypeCount"})"),
              Texts{quoted("camGetMediaTypeCount", "2")});
    EXPECT_EQ(request(R"({"FuncName":"camGetMediaTypeName"})"),
              Texts{R"({"FuncName":"camGetMediaTypeName","result":["MJPG","YUY2"]})"});
    EXPECT_EQ(calls(), Texts({"camGetMediaTypeCount(1, &0)", "camGetMediaTypeCount(1, &0)",
                              "camGetMediaTypeName(1, 0)", "camGetMediaTypeName(1, 1)"}));
}

TEST_F(DeviceCommands, SetMediaTypeRecordsTheSubtypeEvenWhenRefused) {
    service().currentDevice = 1;
    Fake::program("camSetMediaType", Outcome::returns(-4));
    EXPECT_EQ(request(R"({"FuncName":"camSetMediaType","argument":{"iMediaIndex":1}})"),
              Texts{quoted("camSetMediaType", "-4")});
    EXPECT_EQ(service().currentSubtype, 1);
    Fake::clearCalls();
    request(R"({"FuncName":"camGetResolution"})");
    EXPECT_EQ(calls(), Texts({"camGetResolutionCount(1, 1, &0)"}));
}

TEST_F(DeviceCommands, CurResolutionShowsThePresetsWhenNothingIsWritten) {
    service().currentDevice = 3;
    EXPECT_EQ(request(R"({"FuncName":"camGetCurResolution"})"),
              Texts{quoted("camGetCurResolution", "18446744073709551615*18446744073709551615")});
    Fake::program("camGetCurResolution", Outcome().withInts({0, 1920, 1080}));
    EXPECT_EQ(request(R"({"FuncName":"camGetCurResolution"})"),
              Texts{quoted("camGetCurResolution", "1920*1080")});
    EXPECT_EQ(calls(), Texts({"camGetCurResolution(3, &-1, &-1, &-1)",
                              "camGetCurResolution(3, &-1, &-1, &-1)"}));
}

TEST_F(DeviceCommands, DevTypeIsTheTypeOnSuccessElseTheStatus) {
    EXPECT_EQ(request(R"({"FuncName":"camGetDevType"})"), Texts{quoted("camGetDevType", "99")});
    Fake::program("camGetDevType", Outcome().withInts({2}));
    EXPECT_EQ(request(R"({"FuncName":"camGetDevType"})"), Texts{quoted("camGetDevType", "2")});
    Fake::program("camGetDevType", Outcome::returns(-3).withInts({2}));
    EXPECT_EQ(request(R"({"FuncName":"camGetDevType"})"), Texts{quoted("camGetDevType", "-3")});
    EXPECT_EQ(calls().front(), "camGetDevType(0, &99)");
}

TEST_F(DeviceCommands, IdentityTextsComeFromZeroedBuffers) {
    service().currentDevice = 1;
    Fake::program("camGetDevPid", Outcome::returns(-1).withTexts({"6366"}));
    Fake::program("camGetDevVid", Outcome().withTexts({"0c45"}));
    Fake::program("camGetDevSNEx", Outcome().withTexts({std::string(31, 'S')}));
    Fake::program("camGetDevCusSN", Outcome::returnsText("CUS-1"));
    EXPECT_EQ(request(R"({"FuncName":"camGetDevPid"})"), Texts{quoted("camGetDevPid", "6366")});
    EXPECT_EQ(request(R"({"FuncName":"camGetDevVid"})"), Texts{quoted("camGetDevVid", "0c45")});
    EXPECT_EQ(request(R"({"FuncName":"camGetDevSN"})"),
              Texts{quoted("camGetDevSN", std::string(31, 'S'))});
    EXPECT_EQ(request(R"({"FuncName":"camGetDevCusSN"})"),
              Texts{quoted("camGetDevCusSN", "CUS-1")});
    EXPECT_EQ(calls(), Texts({"camGetDevPid(1, zeroed[32])", "camGetDevVid(1, zeroed[32])",
                              "camGetDevSNEx(1, zeroed[32])", "camGetDevCusSN(1)"}));
    // Nothing written: empty texts.
    Fake::reset();
    EXPECT_EQ(request(R"({"FuncName":"camGetDevPid"})"), Texts{quoted("camGetDevPid", "")});
    Outcome none;
    none.returnsNull = true;
    Fake::program("camGetDevCusSN", none);
    EXPECT_EQ(request(R"({"FuncName":"camGetDevCusSN"})"), Texts{quoted("camGetDevCusSN", "")});
}

}  // namespace
}  // namespace lenvaro
