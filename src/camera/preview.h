// Live preview: each frame the capture library delivers is marked with the custom crop
// rectangle, shrunk by a whole-number step, written as a JPEG into the scratch directory, turned
// into Base64 by the library and pushed to the page under "camStartPreview".
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace lenvaro {

// The custom crop rectangle in frame pixels, y counted from the top of the picture.
// All zero means no rectangle.
struct CropRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;

    bool operator==(const CropRect& other) const {
        return left == other.left && top == other.top && right == other.right &&
               bottom == other.bottom;
    }
};

// The preview settings commands write on the service thread and the frame callback reads on
// the library's thread. The rectangle is read and written as one value.
class PreviewState {
  public:
    // "PreZoneSize": the width the page wants; 0 (or anything outside 1..frame width) keeps
    // the full frame.
    void setWidth(int32_t width) { width_.store(width); }
    int32_t width() const { return width_.load(); }

    void setCropRect(const CropRect& rect);
    CropRect cropRect() const;

  private:
    std::atomic<int32_t> width_{0};
    mutable std::mutex cropMutex_;
    CropRect crop_;
};

// The one preview state of the process.
PreviewState& previewState();

// Puts the preview state and the frame pipeline back to how the process starts (width 0, no
// rectangle, nothing learnt about frame sizes). For tests that make several services.
void resetPreview();

// The picture a frame becomes for the preview, bottom row first like the frame, rows of `stride`
// bytes. Shrunk, it is a copy in `storage` with R, G, B pixels; at full size it is the frame
// itself, B, G, R, and valid only as long as the frame is (no copy is worth making).
struct ScaledPicture {
    int width = 0;
    int height = 0;
    size_t stride = 0;
    bool bgr = false;
    const uint8_t* pixels = nullptr;
    std::vector<uint8_t> storage;  // reused from frame to frame

    ScaledPicture() = default;
    ScaledPicture(const ScaledPicture&) = delete;  // `pixels` may point into `storage`
    ScaledPicture& operator=(const ScaledPicture&) = delete;
};

// Draws a border of width/100 pixels around `rect`, outside it, with the bytes FF 45 00 in the
// buffer's own order (a B,G,R frame shows it in the JPEG as R 00, G 45, B FF). Rectangles 10
// pixels wide or high or less draw nothing. Every band is clipped to the frame, so a rectangle
// set for another resolution never writes outside the pixels. `pixels` is a bottom-up frame of
// width*3-byte rows.
void markCropRect(uint8_t* pixels, int width, int height, const CropRect& rect);

// The same mark drawn on a shrunk copy made by decimateFrame from a frame of the given size:
// exactly the picture pixels whose frame pixels markCropRect would paint. Does nothing to a
// full-size picture (that one is the frame: mark the frame).
void markCropRectOnPicture(ScaledPicture& picture, int frameWidth, int frameHeight,
                           const CropRect& rect);

// Shrinks a bottom-up B,G,R frame by one whole-number step in both directions, keeping the
// first pixel of each step-by-step block (lowest row and column in buffer order) and turning it
// into R,G,B. The width becomes the largest divisor of the frame width not above `targetWidth`
// (0, negative or above the frame width: the full frame); the height follows with the same
// step. When the frame height has no such divisor (1920x1080 at width 20), the step becomes the
// largest one below it that divides both sides. Step 1 makes no copy: `out` then shows the frame.
// False (out untouched) for an empty frame.
bool decimateFrame(const uint8_t* frame, int width, int height, int targetWidth,
                   ScaledPicture& out);

// Copies `count` B,G,R pixels `pixelStep` bytes apart (at least two pixels) from `source` to
// R,G,B pixels at `target`, reading the byte after each pixel. decimateFrame uses the fastest
// that the processor runs; all of them are listed for tests, which must find them equal.
using RowSampler = void (*)(const uint8_t* source, size_t pixelStep, int count, uint8_t* target);
std::vector<RowSampler> rowSamplers();

// Writes the picture as a baseline JPEG of the given quality, top row first, encoding into
// `buffer` (kept for the next frame). False when the file cannot be written or the encoder
// fails; the caller drops the frame.
bool writeJpegFile(const std::string& path, const ScaledPicture& picture, int quality,
                   std::vector<uint8_t>& buffer);

// Tells whether the page has fallen behind: true while the bytes its connection has not taken
// yet exceed about one second of preview, estimated from the sizes of recent pushes and the
// rate at which frames arrive. Not thread-safe; the pipeline calls it under its own lock.
class PreviewBacklog {
  public:
    using Clock = std::chrono::steady_clock;

    void frameArrived(Clock::time_point now);
    void framePushed(size_t bytes);
    // About one second of preview in bytes (at least one frame); 0 while no frame was pushed.
    size_t oneSecondOfPreview() const;
    bool tooFarBehind(size_t queuedBytes) const {
        const size_t budget = oneSecondOfPreview();
        return budget != 0 && queuedBytes > budget;
    }

  private:
    bool haveArrival_ = false;
    Clock::time_point lastArrival_{};
    double averageIntervalNs_ = 0;  // 0: not known yet
    double averageBytes_ = 0;       // 0: not known yet
};

// The callback "camOpenDev" registers with the library. Runs the whole pipeline for one frame
// on the library's thread; always returns true.
bool onPreviewFrame(uint8_t* pixels, int width, int height, int spare);

}  // namespace lenvaro
