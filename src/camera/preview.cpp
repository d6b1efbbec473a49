// The live preview pipeline and the "PreZoneSize" command.
#include "camera/preview.h"

#include <algorithm>

#include "camera/camera_commands.h"
#include "capture/pictavo.h"
#include "files/jpeg_codec.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/reply.h"

namespace lenvaro {
namespace {

constexpr int kPreviewQuality = 70;

// What the frame callback keeps between frames. One frame is worked on at a time: the scratch
// JPEG and the scaled picture are shared by every frame.
struct Pipeline {
    std::mutex busy;
    ScaledPicture picture;
    PreviewBacklog backlog;
};

// Neither object is ever destroyed: a frame the library delivers while the process exits still
// finds them.
Pipeline& pipeline() {
    static Pipeline* const instance = new Pipeline;
    return *instance;
}

PreviewState& theState() {
    static PreviewState* const instance = new PreviewState;
    return *instance;
}

// Paints rows [top, bottom) (counted from the top of the picture) and columns [left, right),
// after clipping both ranges to the frame.
void paintBand(uint8_t* pixels, int width, int height, int64_t top, int64_t bottom, int64_t left,
               int64_t right) {
    top = std::max<int64_t>(top, 0);
    left = std::max<int64_t>(left, 0);
    bottom = std::min<int64_t>(bottom, height);
    right = std::min<int64_t>(right, width);
    if (top >= bottom || left >= right) return;
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    for (int64_t y = top; y < bottom; ++y) {
        // Frames are stored bottom row first.
        uint8_t* row = pixels + static_cast<size_t>(height - 1 - y) * rowBytes;
        for (int64_t x = left; x < right; ++x) {
            uint8_t* pixel = row + static_cast<size_t>(x) * 3;
            pixel[0] = 0xFF;
            pixel[1] = 0x45;
            pixel[2] = 0x00;
        }
    }
}

void preZoneSizeCommand(CommandService& service) {
    // The height is not read: the preview keeps the frame's aspect. No reply, by protocol.
    previewState().setWidth(service.argInt("width"));
}

}  // namespace

void PreviewState::setCropRect(const CropRect& rect) {
    std::lock_guard<std::mutex> lock(cropMutex_);
    crop_ = rect;
}

CropRect PreviewState::cropRect() const {
    std::lock_guard<std::mutex> lock(cropMutex_);
    return crop_;
}

PreviewState& previewState() { return theState(); }

void resetPreview() {
    previewState().setWidth(0);
    previewState().setCropRect(CropRect{});
    Pipeline& p = pipeline();
    std::lock_guard<std::mutex> lock(p.busy);
    p.backlog = PreviewBacklog();
}

void markCropRect(uint8_t* pixels, int width, int height, const CropRect& rect) {
    if (pixels == nullptr || width <= 0 || height <= 0) return;
    // 64-bit, so that no stored rectangle can overflow the arithmetic below.
    int64_t left = rect.left;
    int64_t top = rect.top;
    int64_t right = rect.right;
    int64_t bottom = rect.bottom;
    if (right - left <= 10 || bottom - top <= 10) return;
    const int64_t t = width / 100;
    const int64_t outerLeft = left - t > 0 ? left - t : 0;
    const int64_t outerTop = top - t > 0 ? top - t : 0;
    const int64_t outerRight = right + t < width ? right + t : width;
    const int64_t outerBottom = bottom + t < height ? bottom + t : height;
    // A rectangle at an edge keeps its band inside the picture.
    if (left == 0 || left < t) left = t;
    if (right >= width) right = width - t;
    if (top == 0 || top < t) top = t;
    if (bottom >= height) bottom = height - t;
    paintBand(pixels, width, height, outerTop, top, outerLeft, outerRight);
    paintBand(pixels, width, height, bottom, outerBottom, outerLeft, outerRight);
    paintBand(pixels, width, height, top, bottom, outerLeft, left);
    paintBand(pixels, width, height, top, bottom, right, outerRight);
}

bool decimateFrame(const uint8_t* frame, int width, int height, int targetWidth,
                   ScaledPicture& out) {
    if (frame == nullptr || width <= 0 || height <= 0) return false;
    // A width the page cannot mean (0, negative, wider than the frame) keeps the full frame.
    int scaledWidth = targetWidth <= 0 || targetWidth > width ? width : targetWidth;
    while (width % scaledWidth != 0) --scaledWidth;
    int step = width / scaledWidth;
    // With no height for this step, take the largest smaller step that divides both sides
    // (1 always does), rather than dropping the frame.
    while (width % step != 0 || height % step != 0) --step;
    const int scaledHeight = height / step;
    scaledWidth = width / step;

    out.width = scaledWidth;
    out.height = scaledHeight;
    if (step == 1) {
        // The encoder takes B,G,R rows as they are; copying the frame would only cost time.
        out.stride = static_cast<size_t>(width) * 3;
        out.bgr = true;
        out.pixels = frame;
        return true;
    }
    out.stride = static_cast<size_t>(scaledWidth) * 3;
    out.bgr = false;
    out.storage.resize(out.stride * static_cast<size_t>(scaledHeight));
    out.pixels = out.storage.data();
    const size_t sourceRowBytes = static_cast<size_t>(width) * 3;
    const size_t sourcePixelStep = static_cast<size_t>(step) * 3;
    for (int row = 0; row < scaledHeight; ++row) {
        const uint8_t* source = frame + static_cast<size_t>(row) * step * sourceRowBytes;
        uint8_t* target = out.storage.data() + static_cast<size_t>(row) * out.stride;
        for (int column = 0; column < scaledWidth; ++column) {
            target[0] = source[2];
            target[1] = source[1];
            target[2] = source[0];
            target += 3;
            source += sourcePixelStep;
        }
    }
    return true;
}

bool writeJpegFile(const std::string& path, const ScaledPicture& picture, int quality) {
    jpeg::EncodeOptions options;
    options.quality = quality;
    options.bottomUp = true;
    options.bgr = picture.bgr;
    return jpeg::writeFile(path, picture.pixels, picture.width, picture.height, 3, picture.stride,
                           options);
}

void PreviewBacklog::frameArrived(Clock::time_point now) {
    // Gaps over two seconds are pauses (a camera reopened), not the frame rate.
    constexpr double kPauseNs = 2e9;
    constexpr double kShortestNs = 1e6;
    if (haveArrival_) {
        const double interval = static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - lastArrival_).count());
        if (interval >= 0 && interval < kPauseNs) {
            const double clamped = std::max(interval, kShortestNs);
            averageIntervalNs_ = averageIntervalNs_ == 0
                                     ? clamped
                                     : averageIntervalNs_ + (clamped - averageIntervalNs_) / 8;
        }
    }
    haveArrival_ = true;
    lastArrival_ = now;
}

void PreviewBacklog::framePushed(size_t bytes) {
    const double size = static_cast<double>(std::max<size_t>(bytes, 1));
    averageBytes_ = averageBytes_ == 0 ? size : averageBytes_ + (size - averageBytes_) / 8;
}

size_t PreviewBacklog::oneSecondOfPreview() const {
    if (averageBytes_ == 0) return 0;
    double perSecond = averageBytes_;
    if (averageIntervalNs_ != 0)
        perSecond = std::max(averageBytes_, averageBytes_ * 1e9 / averageIntervalNs_);
    return static_cast<size_t>(perSecond);
}

bool onPreviewFrame(uint8_t* pixels, int width, int height, int /*spare*/) {
    // Nothing may escape into the library's thread; a frame that fails is simply not shown.
    try {
        CommandService* service = CommandService::instance();
        if (service == nullptr || service->pushSuspended.load()) return true;
        if (pixels == nullptr || width <= 0 || height <= 0) return true;

        Pipeline& p = pipeline();
        // A frame arriving while another is still being worked on (a second camera thread)
        // is dropped: it would only queue behind and arrive stale.
        std::unique_lock<std::mutex> lock(p.busy, std::try_to_lock);
        if (!lock.owns_lock()) return true;

        p.backlog.frameArrived(PreviewBacklog::Clock::now());
        // A page that reads slower than frames arrive gets fewer frames, never a growing queue.
        if (p.backlog.tooFarBehind(service->queuedBytes())) return true;

        const PreviewState& state = previewState();
        markCropRect(pixels, width, height, state.cropRect());
        if (!decimateFrame(pixels, width, height, state.width(), p.picture)) return true;
        const std::string& path = service->previewTempPath();
        if (!writeJpegFile(path, p.picture, kPreviewQuality)) return true;
        std::string text = libraryText(FileEncodeBase64(path.c_str()));
        camDeleteFile(path.c_str());
        p.backlog.framePushed(text.size());
        service->sendReply("camStartPreview", text, false);
    } catch (...) {
        // Out of memory while scaling or composing: this frame is lost, the next may fit.
    }
    return true;
}

void registerPreviewCommands(CommandTable& table) { table.bind("PreZoneSize", preZoneSizeCommand); }

}  // namespace lenvaro
