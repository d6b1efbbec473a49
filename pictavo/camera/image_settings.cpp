// Checking and applying the image settings a page sends.
#include "pictavo/camera/image_settings.h"

#include <cmath>

#include "pictavo/camera/watermark.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

bool within(int value, int low, int high) { return value >= low && value <= high; }

struct Apply {
    CaptureSettings& settings;

    int operator()(const image_option::AutoCrop& option) const {
        if (!within(option.type, kAutoCropOff, kAutoCropAllDocuments)) return kInvalidArgument;
        settings.autoCrop = option.type;
        // An automatic crop replaces the custom rectangle.
        if (option.type != kAutoCropOff) settings.crop = CropRectangle{};
        return kOk;
    }
    int operator()(const image_option::CropRect& option) const {
        const CropRectangle rect{option.left, option.top, option.right, option.bottom};
        if (rect.empty()) {
            settings.crop = rect;
            return kOk;
        }
        if (rect.left < 0 || rect.top < 0 || rect.right <= rect.left || rect.bottom <= rect.top)
            return kInvalidArgument;
        settings.crop = rect;
        settings.autoCrop = kAutoCropOff;  // and a custom rectangle replaces the automatic crop
        return kOk;
    }
    int operator()(const image_option::Rotate& option) const {
        // Quarter turns 0..3, or the same in degrees.
        if (within(option.mode, 0, 3)) {
            settings.quarterTurns = option.mode;
            return kOk;
        }
        if (option.mode == 90 || option.mode == 180 || option.mode == 270) {
            settings.quarterTurns = option.mode / 90;
            return kOk;
        }
        return kInvalidArgument;
    }
    int operator()(const image_option::Dpi& option) const {
        // The JFIF header holds 16 bits per direction.
        if (!within(option.x, 1, 65535) || !within(option.y, 1, 65535)) return kInvalidArgument;
        settings.xDpi = option.x;
        settings.yDpi = option.y;
        return kOk;
    }
    int operator()(const image_option::JpegQuality& option) const {
        if (!within(option.quality, 1, 100)) return kInvalidArgument;
        settings.quality = option.quality;
        return kOk;
    }
    int operator()(const image_option::Adjust& option) const {
        if (!within(option.type, kAdjustNone, kAdjustSharpen)) return kInvalidArgument;
        settings.adjust = option.type;
        return kOk;
    }
    int operator()(const image_option::Denoise& option) const {
        settings.denoise = option.on;
        return kOk;
    }
    int operator()(const image_option::FillBorder& option) const {
        settings.fillBorder = option.value != 0;
        return kOk;
    }
    int operator()(const image_option::ColorStyle& option) const {
        if (!within(option.type, kColour, kBlackAndWhite)) return kInvalidArgument;
        settings.colourStyle = option.type;
        return kOk;
    }
    int operator()(const image_option::FileSign& option) const {
        settings.fileSign = option.on;
        return kOk;
    }
    int operator()(const image_option::WaterMark& option) const {
        if (!option.enabled) {
            settings.watermark.enabled = false;
            return kOk;
        }
        if (!within(option.type, kWatermarkCentre, kWatermarkBottomRight) ||
            !within(option.fontSize, 1, 500) || !std::isfinite(option.angle) ||
            !std::isfinite(option.transparency) || option.transparency < 0 ||
            option.transparency > 1 || !within(option.r, 0, 255) || !within(option.g, 0, 255) ||
            !within(option.b, 0, 255))
            return kInvalidArgument;
        // 1 (as the service passes it) or a font weight of 600 and more: bold.
        const bool bold = option.weight == 1 || option.weight >= 600;
        const FontChoice font = findFontFor(option.font, bold, option.italic, option.text);
        if (font.file.empty()) return kNotSupported;  // no font on this computer to draw with
        WatermarkSettings mark;
        mark.enabled = true;
        mark.text = option.text;
        mark.place = option.type;
        mark.fontSize = option.fontSize;
        mark.fontFile = font.file;
        mark.syntheticBold = font.syntheticBold;
        mark.syntheticItalic = font.syntheticItalic;
        mark.underline = option.underline;
        mark.angle = option.angle;
        mark.transparency = option.transparency;
        mark.r = option.r;
        mark.g = option.g;
        mark.b = option.b;
        settings.watermark = mark;
        return kOk;
    }
};

}  // namespace

int applyImageOption(CaptureSettings& settings, const ImageOption& option) {
    return std::visit(Apply{settings}, option);
}

}  // namespace pictavo
