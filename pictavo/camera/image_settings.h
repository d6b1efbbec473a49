// The image settings of one camera: what the C interface sets (ImageOption) and what the capture
// pipeline applies (CaptureSettings). README.md lists what every numeric code means.
#pragma once

#include <string>
#include <variant>

namespace pictavo {

// One image setting of a device, as the C interface passes it.
// clang-format off
namespace image_option {
struct AutoCrop { int type; };
struct CropRect { int left, top, right, bottom; };
struct Rotate { int mode; };
struct Dpi { int x, y; };
struct JpegQuality { int quality; };
struct Adjust { int type; };
struct Denoise { bool on; };
struct FillBorder { int value; };
struct ColorStyle { int type; };
struct FileSign { bool on; };
struct WaterMark {
    std::string text;
    int type;
    int fontSize;
    std::string font;
    bool italic, underline;
    int weight;
    float angle, transparency;
    int r, g, b;
    bool enabled;
};
}  // namespace image_option
// clang-format on

using ImageOption =
    std::variant<image_option::AutoCrop, image_option::CropRect, image_option::Rotate,
                 image_option::Dpi, image_option::JpegQuality, image_option::Adjust,
                 image_option::Denoise, image_option::FillBorder, image_option::ColorStyle,
                 image_option::FileSign, image_option::WaterMark>;

enum AutoCropType { kAutoCropOff = 0, kAutoCropDocument = 1, kAutoCropAllDocuments = 2 };
enum AdjustType { kAdjustNone = 0, kAdjustAutoLevels = 1, kAdjustSharpen = 2 };
enum ColourStyle { kColour = 0, kGrey = 1, kBlackAndWhite = 2 };
enum WatermarkPlace {
    kWatermarkCentre = 0,
    kWatermarkTopLeft = 1,
    kWatermarkTopRight = 2,
    kWatermarkBottomLeft = 3,
    kWatermarkBottomRight = 4,
};

struct CropRectangle {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool empty() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
};

struct WatermarkSettings {
    bool enabled = false;
    std::string text;  // in the library's text encoding
    int place = kWatermarkCentre;
    int fontSize = 0;              // points at the picture's vertical DPI
    std::string fontFile;          // resolved when the watermark was set
    bool syntheticBold = false;    // the font file has no bold face of its own
    bool syntheticItalic = false;  // likewise for italic
    bool underline = false;
    float angle = 0;         // degrees, counter-clockwise
    float transparency = 0;  // 0 opaque .. 1 invisible
    int r = 0, g = 0, b = 0;
};

// What the capture pipeline applies, in this order: fill border, automatic or custom crop,
// rotation, denoise, adjustment, colour style, watermark, JPEG with DPI, file sign.
struct CaptureSettings {
    int autoCrop = kAutoCropOff;
    CropRectangle crop;    // in frame pixels, y from the top; all zero: none
    int quarterTurns = 0;  // clockwise
    int xDpi = 200;
    int yDpi = 200;
    int quality = 85;
    int adjust = kAdjustNone;
    bool denoise = false;
    bool fillBorder = false;
    int colourStyle = kColour;
    bool fileSign = false;
    WatermarkSettings watermark;
};

// Checks `option` and applies it to `settings`. kOk, kInvalidArgument for a value outside what
// README.md lists (settings unchanged), kNotSupported for work the library cannot do here.
int applyImageOption(CaptureSettings& settings, const ImageOption& option);

}  // namespace pictavo
