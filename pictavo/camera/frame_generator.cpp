// The scenes of the simulated cameras.
#include "pictavo/camera/frame_generator.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>

#include <opencv2/imgproc.hpp>

#include "common/jpeg_codec.h"

namespace pictavo {
namespace {

// 5 x 7 dot glyphs, one row per entry, the highest of five bits on the left.
struct Glyph {
    char character;
    uint8_t rows[7];
};
constexpr Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
};
constexpr int kGlyphAdvance = 6;  // dots: five for the glyph, one of space
constexpr int kGlyphRows = 7;

const Glyph* glyphFor(char c) {
    for (const Glyph& glyph : kGlyphs) {
        if (glyph.character == c) return &glyph;
    }
    return nullptr;
}

// Colours of the figure on each page, in turn.
constexpr uint8_t kFigureColours[][3] = {
    {40, 110, 200}, {210, 80, 40}, {40, 160, 80}, {150, 60, 170}, {220, 170, 30}, {30, 150, 160},
};

std::string clockText(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto tenths =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000 / 100;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(tenths));
    return text;
}

void fillDisc(Frame& frame, int cx, int cy, int radius, uint8_t r, uint8_t g, uint8_t b) {
    for (int dy = -radius; dy <= radius; ++dy) {
        int half = 0;
        while ((half + 1) * (half + 1) + dy * dy <= radius * radius) ++half;
        fillRect(frame, cx - half, cy + dy, 2 * half + 1, 1, r, g, b);
    }
}

void resize(Frame& frame, Resolution size) {
    frame.width = size.width;
    frame.height = size.height;
    frame.pixels.resize(static_cast<size_t>(size.width) * static_cast<size_t>(size.height) * 3);
}

}  // namespace

void fillRect(Frame& frame, int x, int y, int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + width, frame.width);
    const int bottom = std::min(y + height, frame.height);
    if (left >= right || top >= bottom) return;
    for (int row = top; row < bottom; ++row) {
        uint8_t* p = frame.row(row) + static_cast<size_t>(left) * 3;
        for (int column = left; column < right; ++column) {
            *p++ = b;
            *p++ = g;
            *p++ = r;
        }
    }
}

void drawDigits(Frame& frame, const std::string& text, int x, int y, int scale, uint8_t r,
                uint8_t g, uint8_t b) {
    for (char c : text) {
        if (const Glyph* glyph = glyphFor(c)) {
            for (int row = 0; row < kGlyphRows; ++row) {
                for (int dot = 0; dot < 5; ++dot) {
                    if (glyph->rows[row] & (0x10 >> dot))
                        fillRect(frame, x + dot * scale, y + row * scale, scale, scale, r, g, b);
                }
            }
        }
        x += kGlyphAdvance * scale;
    }
}

void drawClock(Frame& frame, int right, int top, int scale,
               std::chrono::system_clock::time_point now) {
    const std::string text = clockText(now);
    const int width = static_cast<int>(text.size()) * kGlyphAdvance * scale;
    const int left = right - width;
    fillRect(frame, left - scale, top - scale, width + scale, (kGlyphRows + 2) * scale, 255, 255,
             255);
    drawDigits(frame, text, left, top, scale, 20, 20, 20);
}

// ---- DocumentScene ----

DocumentScene::DocumentScene(unsigned seed) : seed_(seed) {}

void DocumentScene::nextPage() { ++page_; }

void DocumentScene::drawStill(Resolution size) {
    resize(still_, size);
    const int W = size.width;
    const int H = size.height;
    fillRect(still_, 0, 0, W, H, 56, 46, 38);  // the desk

    // An A4 sheet, as large as fits, shifted to one side or the other by page.
    pageHeight_ = H * 86 / 100;
    pageWidth_ = pageHeight_ * 210 / 297;
    if (pageWidth_ > W * 70 / 100) {
        pageWidth_ = W * 70 / 100;
        pageHeight_ = pageWidth_ * 297 / 210;
    }
    const int shift = (page_ % 2 == 1 ? -1 : 1) * (W * 6 / 100);
    pageLeft_ = std::clamp((W - pageWidth_) / 2 + shift, 0, std::max(0, W - pageWidth_));
    pageTop_ = (H - pageHeight_) / 2;
    fillRect(still_, pageLeft_, pageTop_, pageWidth_, pageHeight_, 250, 250, 246);

    std::minstd_rand random(seed_ * 7919u + static_cast<unsigned>(page_));
    const int margin = std::max(2, pageWidth_ / 12);
    const int textLeft = pageLeft_ + margin;
    const int textWidth = pageWidth_ - 2 * margin;
    const int lineHeight = std::max(1, pageHeight_ / 90);

    // Heading.
    const int headingHeight = std::max(2, pageHeight_ / 30);
    const int headingWidth = textWidth * static_cast<int>(40 + random() % 30) / 100;
    fillRect(still_, textLeft, pageTop_ + margin, headingWidth, headingHeight, 30, 30, 40);

    // Lines of text in paragraphs.
    int y = pageTop_ + margin + headingHeight * 3;
    const int textBottom = pageTop_ + pageHeight_ - margin * 2;
    while (y + lineHeight < textBottom) {
        const bool lastOfParagraph = random() % 6 == 0;
        const int length = lastOfParagraph ? textWidth * static_cast<int>(20 + random() % 50) / 100
                                           : textWidth * static_cast<int>(88 + random() % 13) / 100;
        fillRect(still_, textLeft, y, length, lineHeight, 70, 70, 70);
        y += lineHeight * (lastOfParagraph ? 6 : 3);
    }

    // The figure: a coloured block in the upper half of odd pages and the lower half of even
    // ones, so that turning a page changes a large part of the picture.
    const uint8_t* colour = kFigureColours[static_cast<size_t>(page_) % std::size(kFigureColours)];
    const int figureWidth = textWidth * 55 / 100;
    const int figureHeight = pageHeight_ * 28 / 100;
    const int figureLeft = page_ % 3 == 0 ? textLeft : textLeft + textWidth - figureWidth;
    const int figureTop =
        page_ % 2 == 1 ? pageTop_ + pageHeight_ * 14 / 100 : pageTop_ + pageHeight_ * 56 / 100;
    fillRect(still_, figureLeft, figureTop, figureWidth, figureHeight, colour[0], colour[1],
             colour[2]);

    // The page number, centred under the text.
    const std::string number = std::to_string(page_);
    const int scale = std::max(1, pageHeight_ / 150);
    const int numberWidth = static_cast<int>(number.size()) * kGlyphAdvance * scale;
    drawDigits(still_, number, pageLeft_ + (pageWidth_ - numberWidth) / 2,
               pageTop_ + pageHeight_ - margin - kGlyphRows * scale, scale, 60, 60, 60);
    stillPage_ = page_;
}

void DocumentScene::render(Frame& frame, Resolution size,
                           std::chrono::system_clock::time_point now) {
    if (stillPage_ != page_ || still_.width != size.width || still_.height != size.height)
        drawStill(size);
    frame.width = still_.width;
    frame.height = still_.height;
    frame.pixels = still_.pixels;  // reuses the frame's buffer when it is large enough

    // A red dot running to and fro along the bottom margin, four seconds a round.
    const int margin = std::max(2, pageWidth_ / 12);
    const long phase =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        4000;
    const long there = phase < 2000 ? phase : 4000 - phase;  // 0 .. 2000 and back
    const int travel = std::max(0, pageWidth_ - 2 * margin);
    const int radius = std::max(2, pageHeight_ / 60);
    fillDisc(frame, pageLeft_ + margin + static_cast<int>(travel * there / 2000),
             pageTop_ + pageHeight_ - margin / 2, radius, 220, 30, 30);

    const int clockScale = std::max(1, margin * 6 / 10 / kGlyphRows);
    drawClock(frame, pageLeft_ + pageWidth_ - margin / 2, pageTop_ + margin / 4 + clockScale,
              clockScale, now);
}

// ---- ImageScene ----

ImageScene::ImageScene(const std::vector<std::string>& paths, std::vector<std::string>& problems) {
    for (const std::string& path : paths) {
        lenvaro::jpeg::Image image;
        std::string error;
        if (!lenvaro::jpeg::readFile(path, image, &error) || image.components != 3 ||
            image.width <= 0 || image.height <= 0) {
            problems.push_back(path + ": " + (error.empty() ? "not a colour JPEG file" : error));
            continue;
        }
        images_.push_back(Picture{image.width, image.height, std::move(image.pixels)});
    }
}

void ImageScene::nextPage() {
    if (!images_.empty()) current_ = (current_ + 1) % images_.size();
}

void ImageScene::render(Frame& frame, Resolution size, std::chrono::system_clock::time_point) {
    if (images_.empty()) {
        resize(frame, size);
        std::fill(frame.pixels.begin(), frame.pixels.end(), 0);
        return;
    }
    if (stillImage_ != current_ || still_.width != size.width || still_.height != size.height) {
        resize(still_, size);
        fillRect(still_, 0, 0, size.width, size.height, 24, 24, 24);
        const Picture& picture = images_[current_];
        // Fit the picture inside the frame, aspect kept; a picture of the frame's own size is
        // shown pixel for pixel.
        long fitWidth = size.width;
        long fitHeight = static_cast<long>(picture.height) * size.width / picture.width;
        if (fitHeight > size.height) {
            fitHeight = size.height;
            fitWidth = static_cast<long>(picture.width) * size.height / picture.height;
        }
        fitWidth = std::max(1L, fitWidth);
        fitHeight = std::max(1L, fitHeight);
        const cv::Mat source(picture.height, picture.width, CV_8UC3,
                             const_cast<uint8_t*>(picture.rgb.data()));
        cv::Mat fitted;
        if (fitWidth == picture.width && fitHeight == picture.height) {
            fitted = source;
        } else {
            const bool shrinking = fitWidth < picture.width;
            cv::resize(source, fitted, cv::Size(static_cast<int>(fitWidth), static_cast<int>(fitHeight)),
                       0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
        }
        // Frames are B,G,R with the bottom row first: the picture turned over into place.
        cv::Mat frameMat(size.height, size.width, CV_8UC3, still_.pixels.data());
        const int left = static_cast<int>((size.width - fitWidth) / 2);
        const int top = static_cast<int>((size.height - fitHeight) / 2);
        const cv::Rect place(left, size.height - top - static_cast<int>(fitHeight),
                             static_cast<int>(fitWidth), static_cast<int>(fitHeight));
        cv::Mat bgr;
        cv::cvtColor(fitted, bgr, cv::COLOR_RGB2BGR);
        cv::flip(bgr, frameMat(place), 0);
        stillImage_ = current_;
    }
    // The picture exactly as it is: nothing drawn over it.
    frame.width = still_.width;
    frame.height = still_.height;
    frame.pixels = still_.pixels;
}

}  // namespace pictavo
