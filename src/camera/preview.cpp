// The live preview pipeline and the "PreZoneSize" command.
#include "camera/preview.h"

#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "camera/camera_commands.h"
#include "common/jpeg_codec.h"
#include "pictavo.h"
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
    std::vector<uint8_t> encoded;  // the JPEG's bytes, capacity kept between frames
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

// Rows [top, bottom) (counted from the top of the picture) and columns [left, right) of the
// frame, already clipped to it.
struct MarkBand {
    int64_t top, bottom, left, right;
};

// The four bands of the crop mark around `rect` in a frame of the given size; none for a
// rectangle 10 pixels wide or high or less. 64-bit, so that no stored rectangle can overflow
// the arithmetic.
int cropMarkBands(int width, int height, const CropRect& rect, MarkBand bands[4]) {
    int64_t left = rect.left;
    int64_t top = rect.top;
    int64_t right = rect.right;
    int64_t bottom = rect.bottom;
    if (right - left <= 10 || bottom - top <= 10) return 0;
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
    const MarkBand unclipped[4] = {{outerTop, top, outerLeft, outerRight},
                                   {bottom, outerBottom, outerLeft, outerRight},
                                   {top, bottom, outerLeft, left},
                                   {top, bottom, right, outerRight}};
    int count = 0;
    for (const MarkBand& band : unclipped) {
        MarkBand clipped{std::max<int64_t>(band.top, 0), std::min<int64_t>(band.bottom, height),
                         std::max<int64_t>(band.left, 0), std::min<int64_t>(band.right, width)};
        if (clipped.top < clipped.bottom && clipped.left < clipped.right) bands[count++] = clipped;
    }
    return count;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the pixel words assume little-endian");

// Scaling is most of the preview's cost besides the JPEG encoder: a 1920x1080 frame shrunk to
// 640 wide reads 2 MB of it. The samplers read each pixel as a 32-bit word: its three bytes
// and the first byte of the pixel after it, which always exists because the step is at least
// two pixels.

void samplePixels(const uint8_t* source, size_t pixelStep, int count, uint8_t* target) {
    for (int i = 0; i < count; ++i, source += pixelStep, target += 3) {
        target[0] = source[2];
        target[1] = source[1];
        target[2] = source[0];
    }
}

// The pixel at `bgr` as the word whose little-endian bytes are R, G, B, 0.
uint32_t rgbOf(const uint8_t* bgr) {
    uint32_t word;
    std::memcpy(&word, bgr, 4);
    return ((word & 0xFF) << 16) | (word & 0xFF00) | ((word >> 16) & 0xFF);
}

void storeWord(uint8_t* target, uint32_t word) { std::memcpy(target, &word, 4); }

// Four pixels at a time: four word loads, three word stores of the twelve bytes.
void samplePixelWords(const uint8_t* source, size_t pixelStep, int count, uint8_t* target) {
    int done = 0;
    for (; done + 4 < count; done += 4) {
        const uint32_t p0 = rgbOf(source);
        const uint32_t p1 = rgbOf(source + pixelStep);
        const uint32_t p2 = rgbOf(source + 2 * pixelStep);
        const uint32_t p3 = rgbOf(source + 3 * pixelStep);
        storeWord(target, p0 | (p1 << 24));
        storeWord(target + 4, (p1 >> 8) | (p2 << 16));
        storeWord(target + 8, (p2 >> 16) | (p3 << 8));
        target += 12;
        source += 4 * pixelStep;
    }
    samplePixels(source, pixelStep, count - done, target);
}

#if defined(__x86_64__)
// Eight pixels at a time with an AVX2 gather, on processors that have it (about twice as fast
// as the word loop). Two 16-byte stores write 28 bytes: 24 of the eight pixels and 4 that the
// next round overwrites, so the loop stops while at least two pixels are left in the row.
__attribute__((target("avx2"))) void samplePixelsGathered(const uint8_t* source,
                                                          size_t pixelStep, int count,
                                                          uint8_t* target) {
    const int step = static_cast<int>(pixelStep);
    const __m256i offsets =
        _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(step));
    // In each half, the words B,G,R,x of four pixels become R,G,B x4 and four spare bytes.
    const __m256i toRgb = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                           2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    int done = 0;
    for (; done + 9 < count; done += 8) {
        __m256i words = _mm256_i32gather_epi32(reinterpret_cast<const int*>(source), offsets, 1);
        words = _mm256_shuffle_epi8(words, toRgb);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm256_castsi256_si128(words));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 12),
                         _mm256_extracti128_si256(words, 1));
        target += 24;
        source += 8 * pixelStep;
    }
    samplePixelWords(source, pixelStep, count - done, target);
}
#endif

#if defined(__x86_64__)
bool haveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
#endif

// The fastest sampler this processor runs; steps beyond what 32-bit offsets hold take the
// word loop.
RowSampler rowSampler(size_t pixelStep) {
#if defined(__x86_64__)
    if (haveAvx2() && pixelStep <= static_cast<size_t>(INT32_MAX / 8)) return samplePixelsGathered;
#endif
    (void)pixelStep;
    return samplePixelWords;
}

// Smallest whole n with n * step >= value (value >= 0, step > 0).
int64_t stepsToReach(int64_t value, int64_t step) { return (value + step - 1) / step; }

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

std::vector<RowSampler> rowSamplers() {
    std::vector<RowSampler> samplers = {samplePixelWords};
#if defined(__x86_64__)
    if (haveAvx2()) samplers.push_back(samplePixelsGathered);
#endif
    return samplers;
}

void resetPreview() {
    previewState().setWidth(0);
    previewState().setCropRect(CropRect{});
    Pipeline& p = pipeline();
    std::lock_guard<std::mutex> lock(p.busy);
    p.backlog = PreviewBacklog();
}

void markCropRect(uint8_t* pixels, int width, int height, const CropRect& rect) {
    if (pixels == nullptr || width <= 0 || height <= 0) return;
    MarkBand bands[4];
    const int count = cropMarkBands(width, height, rect, bands);
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    for (int i = 0; i < count; ++i) {
        for (int64_t y = bands[i].top; y < bands[i].bottom; ++y) {
            // Frames are stored bottom row first.
            uint8_t* row = pixels + static_cast<size_t>(height - 1 - y) * rowBytes;
            for (int64_t x = bands[i].left; x < bands[i].right; ++x) {
                uint8_t* pixel = row + static_cast<size_t>(x) * 3;
                pixel[0] = 0xFF;
                pixel[1] = 0x45;
                pixel[2] = 0x00;
            }
        }
    }
}

void markCropRectOnPicture(ScaledPicture& picture, int frameWidth, int frameHeight,
                           const CropRect& rect) {
    if (picture.bgr || picture.width <= 0 || frameWidth <= 0 || frameHeight <= 0 ||
        picture.pixels != picture.storage.data()) {
        return;
    }
    const int64_t step = frameWidth / picture.width;
    MarkBand bands[4];
    const int count = cropMarkBands(frameWidth, frameHeight, rect, bands);
    for (int i = 0; i < count; ++i) {
        // Picture row r is frame buffer row r * step, which is frame row H - 1 - r * step
        // counted from the top; column c is frame column c * step.
        const int64_t firstRow = stepsToReach(frameHeight - bands[i].bottom, step);
        const int64_t lastRow = std::min<int64_t>((frameHeight - 1 - bands[i].top) / step,
                                                  picture.height - 1);
        const int64_t firstColumn = stepsToReach(bands[i].left, step);
        const int64_t endColumn = std::min<int64_t>(stepsToReach(bands[i].right, step),
                                                    picture.width);
        for (int64_t r = firstRow; r <= lastRow; ++r) {
            uint8_t* row = picture.storage.data() + static_cast<size_t>(r) * picture.stride;
            for (int64_t c = firstColumn; c < endColumn; ++c) {
                // The same colour as on the frame, in the picture's R, G, B order.
                uint8_t* pixel = row + static_cast<size_t>(c) * 3;
                pixel[0] = 0x00;
                pixel[1] = 0x45;
                pixel[2] = 0xFF;
            }
        }
    }
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
    const RowSampler sampleRow = rowSampler(sourcePixelStep);
    for (int row = 0; row < scaledHeight; ++row) {
        sampleRow(frame + static_cast<size_t>(row) * step * sourceRowBytes, sourcePixelStep,
                  scaledWidth, out.storage.data() + static_cast<size_t>(row) * out.stride);
    }
    return true;
}

bool writeJpegFile(const std::string& path, const ScaledPicture& picture, int quality,
                   std::vector<uint8_t>& buffer) {
    jpeg::EncodeOptions options;
    options.quality = quality;
    options.bottomUp = true;
    options.bgr = picture.bgr;
    return jpeg::writeFile(path, picture.pixels, picture.width, picture.height, 3, picture.stride,
                           options, buffer);
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
        const CommandService::CallbackAccess access;
        CommandService* service = access.service();
        if (service == nullptr) return true;
        if (pixels == nullptr || width <= 0 || height <= 0) return true;
        // The size the camera really runs at, for GET /status, also while no page watches.
        service->cameraStatus.frameArrived(width, height);
        if (service->pushSuspended.load()) return true;

        Pipeline& p = pipeline();
        // A frame arriving while another is still being worked on (a second camera thread)
        // is dropped: it would only queue behind and arrive stale.
        std::unique_lock<std::mutex> lock(p.busy, std::try_to_lock);
        if (!lock.owns_lock()) return true;

        p.backlog.frameArrived(PreviewBacklog::Clock::now());
        // A page that reads slower than frames arrive gets fewer frames, never a growing queue.
        if (p.backlog.tooFarBehind(service->queuedBytes())) return true;

        const PreviewState& state = previewState();
        if (!decimateFrame(pixels, width, height, state.width(), p.picture)) return true;
        // A shrunk picture is marked itself (a fraction of the pixels, and the library's frame
        // stays as it was); at full size the picture is the frame.
        if (p.picture.bgr) {
            markCropRect(pixels, width, height, state.cropRect());
        } else {
            markCropRectOnPicture(p.picture, width, height, state.cropRect());
        }
        const std::string& path = service->previewTempPath();
        if (!writeJpegFile(path, p.picture, kPreviewQuality, p.encoded)) return true;
        // The push is the marker and the library's Base64 text, as composeReply makes it for
        // "camStartPreview", built in one buffer: frames are large and come at camera rate.
        const char* encoded = FileEncodeBase64(path.c_str());
        const size_t encodedSize = encoded != nullptr ? std::strlen(encoded) : 0;
        std::string message;
        message.reserve(3 + encodedSize);
        message.append("$*$").append(encoded != nullptr ? encoded : "", encodedSize);
        camDeleteFile(path.c_str());
        p.backlog.framePushed(encodedSize);
        service->sendComposedReply(std::move(message));
    } catch (...) {
        // Out of memory while scaling or composing: this frame is lost, the next may fit.
    }
    return true;
}

void registerPreviewCommands(CommandTable& table) { table.bind("PreZoneSize", preZoneSizeCommand); }

}  // namespace lenvaro
