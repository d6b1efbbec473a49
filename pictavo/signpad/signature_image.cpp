// Drawing the simulated signature and writing it as an image file.
#include "pictavo/signpad/signature_image.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <vector>

#include "common/jpeg_codec.h"
#include "pictavo/file_ops.h"
#include "pictavo/imaging/png_codec.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kJpegQuality = 90;

uint8_t channel(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// A side of the window: its extent when positive, else the default, never above the limit.
int side(int low, int high, int fallback) {
    const long long extent = static_cast<long long>(high) - low;
    if (extent <= 0) return fallback;
    return static_cast<int>(std::min<long long>(extent, kMaxSignatureSide));
}

// Paints a filled disc of the pen colour, clipped to the picture.
void stamp(Picture& picture, const uint8_t pen[3], double cx, double cy, int radius) {
    const int x0 = std::max(0, static_cast<int>(std::floor(cx)) - radius);
    const int x1 = std::min(picture.width - 1, static_cast<int>(std::ceil(cx)) + radius);
    const int y0 = std::max(0, static_cast<int>(std::floor(cy)) - radius);
    const int y1 = std::min(picture.height - 1, static_cast<int>(std::ceil(cy)) + radius);
    const double limit = (radius + 0.5) * (radius + 0.5);
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > limit) continue;
            uint8_t* pixel = &picture.pixels[static_cast<size_t>(y) * picture.rowBytes() +
                                             static_cast<size_t>(x) * 3];
            std::copy(pen, pen + 3, pixel);
        }
    }
}

// One stroke of a looping hand across the window; `index` varies its height, rhythm and phase.
void drawStroke(Picture& picture, const uint8_t pen[3], int index) {
    const double w = picture.width;
    const double h = picture.height;
    const double baseline = h * (0.5 + 0.12 * ((index % 3) - 1));
    const double amplitude = h * 0.22;
    const double loops = 2 + index % 4;
    const double phase = index * 1.3;
    const int radius = std::max(1, std::min(picture.width, picture.height) / 100);
    const int samples = 4 * (picture.width + picture.height);
    for (int i = 0; i <= samples; ++i) {
        const double t = static_cast<double>(i) / samples;
        const double angle = 2 * kPi * loops * t + phase;
        const double x = w * (0.1 + 0.8 * t) + w * 0.03 * std::cos(angle);
        const double y = baseline + amplitude * std::sin(angle) * (0.6 + 0.4 * std::sin(kPi * t));
        stamp(picture, pen, x, y, radius);
    }
}

std::string lowerExtension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string extension = path.substr(dot);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

}  // namespace

SignatureStyle styleFromParam(const SignParam& param) {
    SignatureStyle style;
    style.width = side(param.left, param.right, SignatureStyle{}.width);
    style.height = side(param.ntop, param.bottom, SignatureStyle{}.height);
    style.background[0] = channel(param.BR);
    style.background[1] = channel(param.BG);
    style.background[2] = channel(param.BB);
    style.pen[0] = channel(param.R);
    style.pen[1] = channel(param.G);
    style.pen[2] = channel(param.B);
    return style;
}

Picture renderSignature(const SignatureStyle& style, int strokes) {
    Picture picture;
    picture.width = style.width;
    picture.height = style.height;
    picture.components = 3;
    picture.pixels.resize(picture.rowBytes() * static_cast<size_t>(picture.height));
    for (size_t at = 0; at < picture.pixels.size(); at += 3) {
        std::copy(style.background, style.background + 3, &picture.pixels[at]);
    }
    for (int index = 0; index < strokes; ++index) drawStroke(picture, style.pen, index);
    return picture;
}

int writeSignatureImage(const std::string& path, const Picture& picture) {
    const std::string extension = lowerExtension(path);
    std::vector<uint8_t> bytes;
    if (extension == ".png") {
        if (!encodePng(picture, bytes)) return kInternalError;
    } else if (extension == ".jpg" || extension == ".jpeg") {
        lenvaro::jpeg::EncodeOptions options;
        options.quality = kJpegQuality;
        if (!lenvaro::jpeg::encode(picture.pixels.data(), picture.width, picture.height,
                                   picture.components, picture.rowBytes(), options, bytes)) {
            return kInternalError;
        }
    } else {
        return kNotSupported;
    }
    return writeDocumentFile(path, bytes);
}

}  // namespace pictavo
