// Motion-JPEG frames to pixels.
#include "pictavo/camera/frame_decoding.h"

#include "common/jpeg_codec.h"

namespace pictavo {

bool decodeFrame(const std::vector<uint8_t>& jpeg, int scaleDenominator, bool fast, Frame& out) {
    lenvaro::jpeg::DecodeOptions options;
    options.scaleDenominator = scaleDenominator;
    options.bgr = true;
    options.bottomUp = true;
    options.fast = fast;
    lenvaro::jpeg::Image image;
    image.pixels.swap(out.pixels);  // decoded into the frame's own buffer
    const bool decoded = lenvaro::jpeg::decodeScaled(jpeg.data(), jpeg.size(), options, image);
    out.pixels.swap(image.pixels);
    if (!decoded) return false;
    out.width = image.width;
    out.height = image.height;
    return true;
}

int previewScale(int width, int height, int previewWidth) {
    if (previewWidth <= 0 || previewWidth >= width || width <= 0 || height <= 0) return 1;
    // The whole-number step the service's preview takes from a full frame.
    int step = 1;
    for (int w = previewWidth; w >= 1; --w) {
        if (width % w == 0) {
            step = width / w;
            break;
        }
    }
    // A height the step does not divide makes the service take the largest step below it that
    // divides both sides.
    while (step > 1 && (width % step != 0 || height % step != 0)) --step;
    for (int scale : {8, 4, 2}) {
        if (step % scale == 0 && width % scale == 0 && height % scale == 0) return scale;
    }
    return 1;
}

}  // namespace pictavo
