// The capture pipeline.
#include "pictavo/camera/capture_pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "common/jpeg_codec.h"
#include "pictavo/camera/file_sign.h"
#include "pictavo/camera/frame_decoding.h"
#include "pictavo/camera/v4l2_mjpeg.h"
#include "pictavo/camera/watermark.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

// The largest document, or every one, each cut out of `picture` along its outline and
// straightened, in reading order: top to bottom, and left to right for documents side by side.
Raster cutOut(const PictureView& picture, std::vector<DocumentOutline> documents, int autoCrop) {
    if (autoCrop == kAutoCropDocument) documents.resize(1);
    std::sort(documents.begin(), documents.end(),
              [](const DocumentOutline& a, const DocumentOutline& b) {
                  const cv::Point2f ca = (a.corners[0] + a.corners[2]) * 0.5f;
                  const cv::Point2f cb = (b.corners[0] + b.corners[2]) * 0.5f;
                  const float rowHeight = 0.5f * std::min(a.size.height, b.size.height);
                  return std::abs(ca.y - cb.y) > rowHeight ? ca.y < cb.y : ca.x < cb.x;
              });
    std::vector<Raster> straightened;
    for (const DocumentOutline& document : documents)
        straightened.push_back(straighten(picture, document));
    return stackDocuments(std::move(straightened));
}

// Border filling and cropping, on the picture as the camera saw it.
int prepare(Raster& raster, const CaptureSettings& settings) {
    const bool cropAutomatically = settings.crop.empty() && settings.autoCrop != kAutoCropOff;
    std::vector<DocumentOutline> documents;
    if (cropAutomatically || settings.fillBorder) documents = findDocuments(raster);
    if (settings.fillBorder) whitenBackground(raster, documents);

    if (!settings.crop.empty()) {
        const CropRectangle& r = settings.crop;
        if (!cropTo(raster, Box{r.left, r.top, r.right, r.bottom})) return kInvalidArgument;
    } else if (cropAutomatically && !documents.empty()) {
        raster = cutOut(viewOf(raster), std::move(documents), settings.autoCrop);
    }
    // Nothing found to crop to: the whole picture is kept.
    return kOk;
}

// The picture encoded with the capture's quality (and marked when the file sign is on).
int encodeAndSign(const uint8_t* pixels, int width, int height, int channels, size_t stride,
                  lenvaro::jpeg::EncodeOptions options, const CaptureSettings& settings,
                  std::vector<uint8_t>& jpeg) {
    options.quality = settings.quality;
    jpeg.clear();
    if (!lenvaro::jpeg::encode(pixels, width, height, channels, stride, options, jpeg))
        return kFailed;
    if (!settings.fileSign) return kOk;
    std::vector<uint8_t> key;
    if (loadOrCreateSignKey(signKeyPath(), key) != kOk) return kFileError;
    return signJpeg(jpeg, key) == kOk ? kOk : kFailed;
}

// Whether anything after the crop reads the picture's colours (rather than only moving pixels).
bool colourWorkAfterCrop(const CaptureSettings& settings) {
    return settings.denoise || settings.adjust != kAdjustNone ||
           settings.colourStyle != kColour || settings.watermark.enabled;
}

// Everything after the crop, down to the encoded (and marked) file.
int finish(Raster raster, const CaptureSettings& settings, std::vector<uint8_t>& jpeg) {
    if (settings.quarterTurns % 4 != 0) raster = rotateQuarterTurns(raster, settings.quarterTurns);
    // A quarter turn swaps the picture's directions, and with them the densities.
    const bool across = settings.quarterTurns % 2 != 0;
    const int xDpi = across ? settings.yDpi : settings.xDpi;
    const int yDpi = across ? settings.xDpi : settings.yDpi;

    if (settings.denoise) denoise(raster);
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
    options.xDpi = xDpi;
    options.yDpi = yDpi;
    return encodeAndSign(raster.data.data(), raster.width, raster.height, raster.channels,
                         raster.rowBytes(), options, settings, jpeg);
}

// One document, straightened and nothing else done to it: the encoder takes each band of rows
// as soon as it is warped, so that warping and encoding share the cores.
int straightenWhileEncoding(const PictureView& view, const DocumentOutline& document,
                            const CaptureSettings& settings, std::vector<uint8_t>& jpeg) {
    StraighteningInBands page(view, document);
    const Raster& raster = page.raster();
    if (raster.data.empty()) return kFailed;
    lenvaro::jpeg::EncodeOptions options;
    options.xDpi = settings.xDpi;
    options.yDpi = settings.yDpi;
    options.bgr = view.bgr;
    options.rowsReady = [&page](int rows) { return page.waitForRows(rows); };
    return encodeAndSign(raster.data.data(), raster.width, raster.height, raster.channels,
                         raster.rowBytes(), options, settings, jpeg);
}

}  // namespace

int renderCapture(const Frame& frame, const CaptureSettings& settings, std::vector<uint8_t>& jpeg) {
    const bool touchesPixels = settings.autoCrop != kAutoCropOff || !settings.crop.empty() ||
                               settings.quarterTurns != 0 || settings.denoise ||
                               settings.adjust != kAdjustNone || settings.fillBorder ||
                               settings.colourStyle != kColour || settings.watermark.enabled;
    // Nothing asked of the pixels (and no quality of the page's own): the camera's JPEG is saved
    // as it came, with our header, rather than decoded and encoded again.
    if (!touchesPixels && settings.quality == CaptureSettings{}.quality && !frame.jpeg.empty() &&
        completeMotionJpeg(frame.jpeg, settings.xDpi, settings.yDpi, jpeg)) {
        if (!settings.fileSign) return kOk;
        std::vector<uint8_t> key;
        if (loadOrCreateSignKey(signKeyPath(), key) != kOk) return kFileError;
        return signJpeg(jpeg, key) == kOk ? kOk : kFailed;
    }
    if (frame.compressed()) {
        Frame decoded;
        if (!decodeFrame(frame.jpeg, 1, false, decoded)) return kFailed;
        return renderCapture(decoded, settings, jpeg);
    }
    if (!touchesPixels) {
        // Straight from the frame's own rows to the encoder: no copy of the picture.
        lenvaro::jpeg::EncodeOptions options;
        options.xDpi = settings.xDpi;
        options.yDpi = settings.yDpi;
        options.bgr = true;
        options.bottomUp = true;
        return encodeAndSign(frame.pixels.data(), frame.width, frame.height, 3, frame.rowBytes(),
                             options, settings, jpeg);
    }
    if (settings.crop.empty() && settings.autoCrop != kAutoCropOff && !settings.fillBorder) {
        // Automatic crop alone: the documents are found in and cut out of the frame's own
        // pixels, so the whole picture is copied only when no document is found.
        const PictureView view = viewOf(frame);
        std::vector<DocumentOutline> documents = findDocuments(view);
        const bool onlyEncoded = !colourWorkAfterCrop(settings) && settings.quarterTurns % 4 == 0;
        if (!documents.empty() && onlyEncoded &&
            (settings.autoCrop == kAutoCropDocument || documents.size() == 1))
            return straightenWhileEncoding(view, documents.front(), settings, jpeg);
        if (!documents.empty())
            return finish(cutOut(view, std::move(documents), settings.autoCrop), settings, jpeg);
        return finish(rasterFromFrame(frame), settings, jpeg);
    }
    Raster raster = rasterFromFrame(frame);
    const int status = prepare(raster, settings);
    if (status != kOk) return status;
    return finish(std::move(raster), settings, jpeg);
}

int renderBookPages(const Frame& frame, const CaptureSettings& settings, bool removeFingers,
                    std::vector<uint8_t>& leftPage, std::vector<uint8_t>& rightPage) {
    if (frame.compressed()) {
        Frame decoded;
        if (!decodeFrame(frame.jpeg, 1, false, decoded)) return kFailed;
        return renderBookPages(decoded, settings, removeFingers, leftPage, rightPage);
    }
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
