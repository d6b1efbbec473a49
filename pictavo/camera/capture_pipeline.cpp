// The capture pipeline.
#include "pictavo/camera/capture_pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "files/jpeg_codec.h"
#include "pictavo/camera/file_sign.h"
#include "pictavo/camera/v4l2_mjpeg.h"
#include "pictavo/camera/watermark.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

// Border filling and cropping, on the picture as the camera saw it.
int prepare(Raster& raster, const CaptureSettings& settings) {
    std::vector<Box> documents;
    if (settings.autoCrop != kAutoCropOff) documents = findDocuments(raster);
    if (settings.fillBorder) whitenBackground(raster);

    if (!settings.crop.empty()) {
        const CropRectangle& r = settings.crop;
        if (!cropTo(raster, Box{r.left, r.top, r.right, r.bottom})) return kInvalidArgument;
    } else if (!documents.empty()) {
        Box box = documents.front();
        if (settings.autoCrop == kAutoCropAllDocuments) {
            for (const Box& other : documents) {
                box.left = std::min(box.left, other.left);
                box.top = std::min(box.top, other.top);
                box.right = std::max(box.right, other.right);
                box.bottom = std::max(box.bottom, other.bottom);
            }
        }
        cropTo(raster, box);
    }
    // Nothing found to crop to: the whole picture is kept.
    return kOk;
}

// Everything after the crop, down to the encoded (and marked) file.
int finish(Raster raster, const CaptureSettings& settings, std::vector<uint8_t>& jpeg) {
    raster = rotateQuarterTurns(raster, settings.quarterTurns);
    // A quarter turn swaps the picture's directions, and with them the densities.
    const bool across = settings.quarterTurns % 2 != 0;
    const int xDpi = across ? settings.yDpi : settings.xDpi;
    const int yDpi = across ? settings.xDpi : settings.yDpi;

    if (settings.denoise) smoothNoise(raster);
    if (settings.adjust == kAdjustAutoLevels) stretchLevels(raster);
    if (settings.adjust == kAdjustSharpen) sharpen(raster);
    if (settings.colourStyle == kGrey) toGrey(raster);
    if (settings.colourStyle == kBlackAndWhite) toBlackAndWhite(raster);

    if (settings.watermark.enabled) {
        const long pixels = static_cast<long>(settings.watermark.fontSize) * yDpi / 72;
        if (!drawWatermark(raster, settings.watermark,
                           static_cast<int>(std::clamp(pixels, 1L, 2000L))))
            return kFailed;
    }

    lenvaro::jpeg::EncodeOptions options;
    options.quality = settings.quality;
    options.xDpi = xDpi;
    options.yDpi = yDpi;
    jpeg.clear();
    if (!lenvaro::jpeg::encode(raster.data.data(), raster.width, raster.height, raster.channels,
                               raster.rowBytes(), options, jpeg))
        return kFailed;
    if (!settings.fileSign) return kOk;
    std::vector<uint8_t> key;
    if (loadOrCreateSignKey(signKeyPath(), key) != kOk) return kFileError;
    return signJpeg(jpeg, key) == kOk ? kOk : kFailed;
}

}  // namespace

int renderCapture(const Frame& frame, const CaptureSettings& settings, std::vector<uint8_t>& jpeg) {
    // Nothing asked of the pixels (and no quality of the page's own): the camera's JPEG is saved
    // as it came, with our header, rather than decoded and encoded again.
    const CaptureSettings defaults;
    const bool keepsPixels = settings.autoCrop == kAutoCropOff && settings.crop.empty() &&
                             settings.quarterTurns == 0 && !settings.denoise &&
                             settings.adjust == kAdjustNone && !settings.fillBorder &&
                             settings.colourStyle == kColour && !settings.watermark.enabled &&
                             settings.quality == defaults.quality;
    if (keepsPixels && !frame.jpeg.empty() &&
        completeMotionJpeg(frame.jpeg, settings.xDpi, settings.yDpi, jpeg)) {
        if (!settings.fileSign) return kOk;
        std::vector<uint8_t> key;
        if (loadOrCreateSignKey(signKeyPath(), key) != kOk) return kFileError;
        return signJpeg(jpeg, key) == kOk ? kOk : kFailed;
    }
    Raster raster = rasterFromFrame(frame);
    const int status = prepare(raster, settings);
    if (status != kOk) return status;
    return finish(std::move(raster), settings, jpeg);
}

int renderBookPages(const Frame& frame, const CaptureSettings& settings, bool removeFingers,
                    std::vector<uint8_t>& leftPage, std::vector<uint8_t>& rightPage) {
    Raster raster = rasterFromFrame(frame);
    const int status = prepare(raster, settings);
    if (status != kOk) return status;
    if (raster.width < 2) return kInvalidArgument;
    const int middle = raster.width / 2;
    Raster left = raster;
    Raster right = std::move(raster);
    cropTo(left, Box{0, 0, middle, left.height});
    cropTo(right, Box{middle, 0, right.width, right.height});
    if (removeFingers) {
        // Fingers hold a book open at the outer edges of its pages.
        const int strip = std::max(1, left.width / 8);
        paintOverSkin(left, Box{0, 0, strip, left.height}, 255, 255, 255);
        paintOverSkin(right, Box{right.width - strip, 0, right.width, right.height}, 255, 255, 255);
    }
    const int first = finish(std::move(left), settings, leftPage);
    if (first != kOk) return first;
    return finish(std::move(right), settings, rightPage);
}

bool encodeFrame(const Frame& frame, int quality, std::vector<uint8_t>& jpeg) {
    lenvaro::jpeg::EncodeOptions options;
    options.quality = quality;
    options.bottomUp = true;
    options.bgr = true;
    jpeg.clear();
    return lenvaro::jpeg::encode(frame.pixels.data(), frame.width, frame.height, 3,
                                 frame.rowBytes(), options, jpeg);
}

}  // namespace pictavo
