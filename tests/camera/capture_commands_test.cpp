#include <gtest/gtest.h>

#include "camera_test.h"

namespace lenvaro {
namespace {

using namespace lenvaro::testing;

class CaptureCommands : public lenvaro::testing::CameraTest {
  protected:
    CaptureCommands() { service().currentDevice = 2; }
};

TEST_F(CaptureCommands, EachSettingCallsItsFunctionOnTheCurrentDeviceAndRepliesTheStatus) {
    struct Case {
        const char* name;
        const char* function;
        const char* arguments;
        const char* call;
    };
    const Case cases[] = {
        {"camCaptureImageFile", "camCaptureImageFile", R"({"filePath":"/scan/p 1.jpg"})",
         R"(camCaptureImageFile(2, "/scan/p 1.jpg"))"},
        {"camSetImageRotateMode", "camSetImageRotateMode", R"({"rotateMode":270})",
         "camSetImageRotateMode(2, 270)"},
        {"camSetImageDPI", "camSetImageDPI", R"({"xDPI":300,"yDPI":100})",
         "camSetImageDPI(2, 300, 300)"},
        {"camSetImageJPGQuanlity", "camSetImageJPGQuanlity", R"({"quanlity":85})",
         "camSetImageJPGQuanlity(2, 85)"},
        {"camSetImageAdjust", "camSetImageAdjust", R"({"Type":3})", "camSetImageAdjust(2, 3)"},
        {"camSetVideoParameter", "camSetVideoParameter",
         R"({"ipara1":1,"ipara2":2,"ilvalue":-30,"iflag":4})",
         "camSetVideoParameter(2, 1, 2, -30, 4)"},
        {"camAutoFocus", "camAutoFocus", R"({"itype":1})", "camAutoFocus(2, 1)"},
        {"camSetImageDenoise", "camSetImageDenoise", R"({"IsAvailabel":5})",
         "camSetImageDenoise(2, 1)"},
        {"camSetImageFillBorder", "camSetImageFillBorder", R"({"IsAvailabel":5})",
         "camSetImageFillBorder(2, 5)"},
        {"camSetImageColorStyle", "camSetImageColorStyle", R"({"itype":2})",
         "camSetImageColorStyle(2, 2)"},
        {"camSetImageFileSign", "camSetImageFileSign", R"({"IsAvailabel":-1})",
         "camSetImageFileSign(2, 1)"},
        {"camSetImageFileSign", "camSetImageFileSign", R"({"IsAvailabel":0})",
         "camSetImageFileSign(2, 0)"},
    };
    int status = -10;
    for (const Case& c : cases) {
        Fake::reset();
        Fake::program(c.function, Outcome::returns(status));
        EXPECT_EQ(request(std::string(R"({"FuncName":")") + c.name + R"(","argument":)" +
                          c.arguments + "}"),
                  Texts{quoted(c.name, std::to_string(status))})
            << c.name;
        EXPECT_EQ(calls(), Texts{c.call}) << c.name;
        --status;
    }
}

TEST_F(CaptureCommands, MissingOrMistypedArgumentsReadAsDefaults) {
    // "quanlity" written as a real is not an integer.
    request(R"({"FuncName":"camSetImageJPGQuanlity","argument":{"quanlity":80.0}})");
    request(R"({"FuncName":"camCaptureImageFile"})");
    request(R"({"FuncName":"camSetImageDPI","argument":{"xDPI":"300"}})");
    EXPECT_EQ(calls(), Texts({"camSetImageJPGQuanlity(2, 0)", R"(camCaptureImageFile(2, ""))",
                              "camSetImageDPI(2, 0, 0)"}));
}

TEST_F(CaptureCommands, PathsReachTheLibraryWholeAndVerbatim) {
    // Longer than any fixed path buffer would hold; and "%" is an ordinary character.
    const std::string longPath = "/scan/" + std::string(5000, 'x') + "%d%s.jpg";
    request(R"({"FuncName":"camCaptureImageFile","argument":{"filePath":")" + longPath + R"("}})");
    EXPECT_EQ(calls(), Texts{"camCaptureImageFile(2, \"" + longPath + "\")"});
}

TEST_F(CaptureCommands, WaterMarkPassesFourteenArgumentsInOrder) {
    Fake::program("camSetImageWaterMark", Outcome::returns(-4));
    EXPECT_EQ(request(R"({"FuncName":"camSetImageWaterMark","argument":{"strMsg":"COPY","itype":1,
        "ifontSize":24,"strfont":"Sans","iItalic":7,"iUnderline":0,"iWeight":-2,"fangle":45.5,
        "ftransparent":0.25,"icolorR":255,"icolorG":128,"icolorB":0,"isAvailabel":3}})"),
              Texts{quoted("camSetImageWaterMark", "-4")});
    EXPECT_EQ(
        calls(),
        Texts{
            R"(camSetImageWaterMark(2, "COPY", 1, 24, "Sans", 1, 0, 1, 45.5, 0.25, 255, 128, 0, 1))"});
    // An angle written as an integer is not a float; missing texts are empty.
    Fake::clearCalls();
    request(R"({"FuncName":"camSetImageWaterMark","argument":{"fangle":45,"ftransparent":1e0}})");
    EXPECT_EQ(calls(),
              Texts{R"(camSetImageWaterMark(2, "", 0, 0, "", 0, 0, 0, 0, 1, 0, 0, 0, 0))"});
}

TEST_F(CaptureCommands, CheckFileSignTakesNoDeviceAndRepliesTheStatus) {
    Fake::program("camCheckImageFileSign", Outcome::returns(-6).withInts({1}));
    EXPECT_EQ(
        request(R"({"FuncName":"camCheckImageFileSign","argument":{"strImagePath":"/a.jpg"}})"),
        Texts{quoted("camCheckImageFileSign", "-6")});
    EXPECT_EQ(calls(), Texts{R"(camCheckImageFileSign("/a.jpg", &false))"});
}

TEST_F(CaptureCommands, CustomRectangleIsMarkedOnlyWhenTheLibraryAcceptsIt) {
    const std::string set =
        R"({"FuncName":"camSetImageCusCropRect","argument":{"left":10,"top":20,"right":300,"bottom":400}})";
    EXPECT_EQ(request(set), Texts{quoted("camSetImageCusCropRect", "0")});
    EXPECT_EQ(previewState().cropRect(), (CropRect{10, 20, 300, 400}));

    Fake::program("camSetImageCusCropRect", Outcome::returns(-2));
    EXPECT_EQ(
        request(
            R"({"FuncName":"camSetImageCusCropRect","argument":{"left":1,"top":2,"right":30,"bottom":40}})"),
        Texts{quoted("camSetImageCusCropRect", "-2")});
    EXPECT_EQ(previewState().cropRect(), (CropRect{10, 20, 300, 400}));
    EXPECT_EQ(calls(), Texts({"camSetImageCusCropRect(2, 10, 20, 300, 400)",
                              "camSetImageCusCropRect(2, 1, 2, 30, 40)"}));
}

TEST_F(CaptureCommands, AutoCropClearsTheRectangleEvenWhenRefused) {
    previewState().setCropRect(CropRect{10, 20, 300, 400});
    Fake::program("camSetImageCusCropRect", Outcome::returns(-9));
    Fake::program("camSetImageAutoCrop", Outcome::returns(-4));
    EXPECT_EQ(request(R"({"FuncName":"camSetImageAutoCrop","argument":{"CropType":1}})"),
              Texts{quoted("camSetImageAutoCrop", "-4")});
    EXPECT_EQ(previewState().cropRect(), CropRect{});
    EXPECT_EQ(calls(),
              Texts({"camSetImageCusCropRect(2, 0, 0, 0, 0)", "camSetImageAutoCrop(2, 1)"}));
}

}  // namespace
}  // namespace lenvaro
