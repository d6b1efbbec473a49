// The picture operations of the capture pipeline, on a plain top-down raster, done with OpenCV.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "pictavo/camera/camera.h"
#include "pictavo/camera/image_settings.h"

namespace pictavo {

// Rows top to bottom, `channels` bytes per pixel (3: R, G, B; 1: grey), no padding.
struct Raster {
    int width = 0;
    int height = 0;
    int channels = 3;
    std::vector<uint8_t> data;

    size_t rowBytes() const { return static_cast<size_t>(width) * static_cast<size_t>(channels); }
    uint8_t* at(int x, int y) {
        return data.data() + static_cast<size_t>(y) * rowBytes() +
               static_cast<size_t>(x) * channels;
    }
    const uint8_t* at(int x, int y) const {
        return data.data() + static_cast<size_t>(y) * rowBytes() +
               static_cast<size_t>(x) * channels;
    }
    // The pixels as an OpenCV matrix sharing them (valid while `data` is not resized).
    cv::Mat mat() {
        return cv::Mat(height, width, CV_8UC(channels), data.empty() ? nullptr : data.data());
    }
    cv::Mat mat() const { return const_cast<Raster*>(this)->mat(); }
};

// A copy of `picture` (8-bit, one or three channels) as a raster.
Raster rasterOf(const cv::Mat& picture);

// A rectangle in pixels: left and top inclusive, right and bottom exclusive.
struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    long area() const { return static_cast<long>(width()) * height(); }
};

// A camera frame (B,G,R, bottom row first) as an R,G,B raster, top row first.
Raster rasterFromFrame(const Frame& frame);

// Keeps the part of `raster` inside `box`, clipped to the picture. False (raster unchanged)
// when nothing of the box lies inside.
bool cropTo(Raster& raster, Box box);
// Turns the picture clockwise by `turns` quarter turns (any integer; taken modulo 4).
Raster rotateQuarterTurns(const Raster& raster, int turns);

// Takes the grain out of a camera picture and keeps its edges (text strokes, a page's border)
// sharp: a bilateral filter, which averages only over neighbours of a similar colour.
void denoise(Raster& raster);
// Stretches the levels so that the darkest and brightest hundredth of the pixels reach 0
// and 255.
void stretchLevels(Raster& raster);
// 3 x 3 sharpening (centre 5, the four neighbours -1).
void sharpen(Raster& raster);
// R,G,B to one grey channel (ITU-R BT.601 weights).
void toGrey(Raster& raster);
// Grey, then black or white against the brightness around each pixel rather than one level
// for the whole picture, so that text in a shadow or under a lamp's fall-off stays readable
// and the paper stays white.
void toBlackAndWhite(Raster& raster);

// One document found on the desk: its outline and the size it has when straightened.
struct DocumentOutline {
    // Top left, top right, bottom right, bottom left of the document as it lies (turned by less
    // than 45 degrees either way), in picture pixels.
    std::array<cv::Point2f, 4> corners;
    cv::Size size;  // the mean lengths of its opposite sides
    double area = 0;

    // Picture pixels to the straightened document's.
    cv::Matx33d toStraightened() const;
};

// A picture where it already lies, without a copy: a raster (top row first, R,G,B) or a camera
// frame (bottom row first, B,G,R). Valid while what it views is.
struct PictureView {
    cv::Mat pixels;  // 8-bit, three channels, rows in memory order
    bool bottomUp = false;
    bool bgr = false;
};
PictureView viewOf(const Raster& raster);
PictureView viewOf(const Frame& frame);

// Builds once per process, on a thread of its own, what the document search needs before it
// can run (OpenCV's colour tables, its worker threads): called when a camera's automatic crop or
// border filling is switched on, so that the first capture after that costs no more than the
// others. Returns at once.
void prepareDocumentSearch();

// The documents on the desk (pages, receipts, cards), largest first: each outline a
// quadrilateral found from edges and from the regions that differ from the desk (with patterns
// smoothed away first, and a low threshold for pale desks), kept only when all its sides stand
// out against what lies beyond them. Documents smaller than a hundredth of the picture, or
// filling all of it, are not reported. Corners are in pixels of the picture as seen, top row
// first, whichever way its rows lie in memory.
std::vector<DocumentOutline> findDocuments(const PictureView& picture);
inline std::vector<DocumentOutline> findDocuments(const Raster& raster) {
    return findDocuments(viewOf(raster));
}
// The document cut out along its outline, its perspective and skew undone, upright at its own
// aspect ratio: an R,G,B raster, top row first.
Raster straighten(const PictureView& picture, const DocumentOutline& document);
inline Raster straighten(const Raster& raster, const DocumentOutline& document) {
    return straighten(viewOf(raster), document);
}
// straighten() on threads of its own, a band of rows after another from the top, so that the
// rows can be put to use (encoded) while the ones below are still being made. The raster keeps
// the view's own channel order (B,G,R out of a camera frame): its colours are not turned round
// for an encoder that takes either. Starts at once; the destructor waits for the threads.
class StraighteningInBands {
public:
    StraighteningInBands(const PictureView& picture, const DocumentOutline& document);
    ~StraighteningInBands();
    StraighteningInBands(const StraighteningInBands&) = delete;
    StraighteningInBands& operator=(const StraighteningInBands&) = delete;

    // The document's raster, sized at once; its top rows are valid once waitForRows says so.
    const Raster& raster() const { return out_; }
    // Waits until the top `rows` rows are made; false when they cannot be (then nothing is).
    bool waitForRows(int rows);

private:
    struct Work;
    Raster out_;
    std::unique_ptr<Work> work_;
    std::vector<std::thread> workers_;
};
// Straightened documents one below the other, in the order given, centred on white with a gap
// between them.
Raster stackDocuments(std::vector<Raster> documents);
// Paints white everything outside the documents' outlines, grown by a pixel or two so that no
// pixel of a document is touched. Nothing is painted when there are no documents.
void whitenBackground(Raster& raster, const std::vector<DocumentOutline>& documents);
// Paints skin-coloured pixels inside `region` with the colour (r, g, b): fingers holding a book
// open at the edges of its pages.
void paintOverSkin(Raster& raster, Box region, uint8_t r, uint8_t g, uint8_t b);

}  // namespace pictavo
