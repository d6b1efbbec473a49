#include <gtest/gtest.h>

#include "fake_pictavo.h"
#include "service_harness.h"

namespace lenvaro {
namespace {

using lenvaro::testing::ServiceHarness;
using pictavo_fake::Fake;
using pictavo_fake::Outcome;
using Texts = std::vector<std::string>;

class DeviceCommands : public ::testing::Test {
protected:
    Texts request(const std::string& text) { return harness_.request(text); }
    ServiceHarness harness_;
};

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
    EXPECT_EQ(harness_.calls(),
              Texts({"camGetDevCount(&0)", "camGetDevName(0)", "camGetDevName(1)", "camGetDevName(2)"}));
}

TEST_F(DeviceCommands, DevNameWithoutCamerasIsOneEmptyString) {
    EXPECT_EQ(request(R"({"FuncName":"camGetDevName"})"),
              Texts{R"({"FuncName":"camGetDevName","result":[""]})"});
    Fake::program("camGetDevCount", Outcome().withInts({-4}));
    EXPECT_EQ(request(R"({"FuncName":"camGetDevName"})"),
              Texts{R"({"FuncName":"camGetDevName","result":[""]})"});
    EXPECT_EQ(harness_.calls(), Texts({"camGetDevCount(&0)", "camGetDevCount(&0)"}));
}

}  // namespace
}  // namespace lenvaro
