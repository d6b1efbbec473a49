// Drawing the simulated ID card's pictures and writing them as bitmaps.
#include "pictavo/cards/card_images.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "pictavo/file_ops.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

struct Rgb {
    uint8_t r, g, b;
};

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void setPixel(CardImage& image, int x, int y, Rgb colour) {
    if (x < 0 || y < 0 || x >= image.width || y >= image.height) return;
    const size_t at =
        (static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x)) * 3;
    image.rgb[at] = colour.r;
    image.rgb[at + 1] = colour.g;
    image.rgb[at + 2] = colour.b;
}

void fillRect(CardImage& image, int left, int top, int width, int height, Rgb colour) {
    for (int y = top; y < top + height; ++y) {
        for (int x = left; x < left + width; ++x) setPixel(image, x, y, colour);
    }
}

void fillEllipse(CardImage& image, int cx, int cy, int rx, int ry, Rgb colour) {
    for (int y = cy - ry; y <= cy + ry; ++y) {
        for (int x = cx - rx; x <= cx + rx; ++x) {
            const double dx = static_cast<double>(x - cx) / rx;
            const double dy = static_cast<double>(y - cy) / ry;
            if (dx * dx + dy * dy <= 1.0) setPixel(image, x, y, colour);
        }
    }
}

// Nearest-neighbour copy of `source` into the rectangle at (left, top).
void drawScaled(CardImage& image, const CardImage& source, int left, int top, int width,
                int height) {
    for (int y = 0; y < height; ++y) {
        const int sy = y * source.height / height;
        for (int x = 0; x < width; ++x) {
            const int sx = x * source.width / width;
            const size_t at = (static_cast<size_t>(sy) * static_cast<size_t>(source.width) +
                               static_cast<size_t>(sx)) *
                              3;
            setPixel(image, left + x, top + y,
                     {source.rgb[at], source.rgb[at + 1], source.rgb[at + 2]});
        }
    }
}

// One bar standing for a line of text: as long as the text, never longer than `maxWidth`.
void drawTextBar(CardImage& image, int left, int top, size_t characters, int maxWidth) {
    if (characters == 0) return;
    const int width =
        std::min(maxWidth, 8 + static_cast<int>(std::min<size_t>(characters, 100)) * 16);
    fillRect(image, left, top, width, 18, {55, 60, 72});
}

void applyColours(CardImage& image, CardImageColours colours) {
    if (colours == CardImageColours::kColour) return;
    for (size_t at = 0; at + 2 < image.rgb.size(); at += 3) {
        const int luma =
            (image.rgb[at] * 299 + image.rgb[at + 1] * 587 + image.rgb[at + 2] * 114) / 1000;
        const uint8_t value = colours == CardImageColours::kGrey ? static_cast<uint8_t>(luma)
                                                                 : (luma >= 128 ? 255 : 0);
        image.rgb[at] = image.rgb[at + 1] = image.rgb[at + 2] = value;
    }
}

// A colour out of `seed`, kept between `low` and `high` on every channel.
Rgb seededColour(uint32_t seed, int low, int high) {
    const int span = high - low + 1;
    return {static_cast<uint8_t>(low + static_cast<int>(seed % span)),
            static_cast<uint8_t>(low + static_cast<int>((seed / 7) % span)),
            static_cast<uint8_t>(low + static_cast<int>((seed / 131) % span))};
}

constexpr int kCardWidth = 856;
constexpr int kCardHeight = 540;
constexpr int kCardDensity = 10000;  // pixels a metre: 10 a millimetre
constexpr Rgb kCardBackground = {228, 236, 242};

CardImage blankCard() {
    CardImage card(kCardWidth, kCardHeight, kCardDensity);
    fillRect(card, 0, 0, kCardWidth, kCardHeight, kCardBackground);
    fillRect(card, 0, 0, kCardWidth, 24, {170, 196, 220});
    fillRect(card, 0, kCardHeight - 24, kCardWidth, 24, {170, 196, 220});
    return card;
}

size_t lengthAt(const std::vector<size_t>& lengths, size_t index) {
    return index < lengths.size() ? lengths[index] : 0;
}

}  // namespace

CardImage::CardImage(int w, int h, int density)
    : width(w),
      height(h),
      pixelsPerMetre(density),
      rgb(static_cast<size_t>(w) * static_cast<size_t>(h) * 3, 255) {}

std::vector<uint8_t> encodeCardBitmap(const CardImage& image) {
    const uint32_t rowBytes = (static_cast<uint32_t>(image.width) * 3 + 3) & ~3u;
    const uint32_t pixelBytes = rowBytes * static_cast<uint32_t>(image.height);
    constexpr uint32_t kHeaderBytes = 14 + 40;
    std::vector<uint8_t> out;
    out.reserve(kHeaderBytes + pixelBytes);
    out.push_back('B');
    out.push_back('M');
    put32(out, kHeaderBytes + pixelBytes);
    put32(out, 0);  // reserved
    put32(out, kHeaderBytes);
    put32(out, 40);
    put32(out, static_cast<uint32_t>(image.width));
    put32(out, static_cast<uint32_t>(image.height));  // positive: bottom row first
    put16(out, 1);                                    // planes
    put16(out, 24);                                   // bits per pixel
    put32(out, 0);                                    // no compression
    put32(out, pixelBytes);
    put32(out, static_cast<uint32_t>(image.pixelsPerMetre));
    put32(out, static_cast<uint32_t>(image.pixelsPerMetre));
    put32(out, 0);  // colours used
    put32(out, 0);  // colours important
    for (int y = image.height - 1; y >= 0; --y) {
        const size_t row = static_cast<size_t>(y) * static_cast<size_t>(image.width) * 3;
        for (int x = 0; x < image.width; ++x) {
            const size_t at = row + static_cast<size_t>(x) * 3;
            out.push_back(image.rgb[at + 2]);
            out.push_back(image.rgb[at + 1]);
            out.push_back(image.rgb[at]);
        }
        for (uint32_t pad = static_cast<uint32_t>(image.width) * 3; pad < rowBytes; ++pad) {
            out.push_back(0);
        }
    }
    return out;
}

CardImage drawHolderPhoto(uint32_t seed) {
    CardImage photo(102, 126, 3937);  // 26 x 32 mm
    const Rgb background = (seed & 1) != 0 ? Rgb{250, 250, 250} : Rgb{222, 238, 252};
    const Rgb skin = seededColour(seed >> 3, 190, 236);
    const Rgb hair = seededColour(seed >> 9, 20, 70);
    const Rgb clothes = seededColour(seed >> 15, 30, 160);
    fillRect(photo, 0, 0, photo.width, photo.height, background);
    fillEllipse(photo, 51, 138, 56, 44, clothes);  // shoulders
    fillRect(photo, 42, 84, 18, 24, skin);         // neck
    fillEllipse(photo, 51, 50, 28, 24, hair);
    fillEllipse(photo, 51, 62, 24, 30, skin);  // face
    fillEllipse(photo, 51, 38, 25, 10, hair);  // fringe
    fillEllipse(photo, 42, 62, 3, 2, {40, 30, 30});
    fillEllipse(photo, 60, 62, 3, 2, {40, 30, 30});
    fillRect(photo, 45, 78, 12, 2, {150, 70, 70});
    return photo;
}

CardImage drawCardFront(const CardImage& photo, const std::vector<size_t>& fieldLengths,
                        CardImageColours colours) {
    CardImage card = blankCard();
    drawScaled(card, photo, 580, 80, 230, 284);
    // Name; sex and ethnicity on one line; birth date; address; and the number along the bottom.
    drawTextBar(card, 60, 90, lengthAt(fieldLengths, 0), 460);
    drawTextBar(card, 60, 150, lengthAt(fieldLengths, 1), 120);
    drawTextBar(card, 220, 150, lengthAt(fieldLengths, 2), 300);
    drawTextBar(card, 60, 210, lengthAt(fieldLengths, 3), 460);
    const size_t address = lengthAt(fieldLengths, 4);
    drawTextBar(card, 60, 270, std::min<size_t>(address, 28), 460);
    if (address > 28) drawTextBar(card, 60, 300, address - 28, 460);
    drawTextBar(card, 240, 440, lengthAt(fieldLengths, 5), 560);
    applyColours(card, colours);
    return card;
}

CardImage drawCardBack(const std::vector<size_t>& fieldLengths, CardImageColours colours) {
    CardImage card = blankCard();
    fillEllipse(card, 130, 130, 72, 72, {200, 32, 36});
    fillEllipse(card, 130, 130, 34, 34, {246, 210, 40});
    fillRect(card, 250, 90, 520, 40, {55, 60, 72});    // title
    fillRect(card, 250, 160, 400, 24, {90, 96, 110});  // subtitle
    drawTextBar(card, 300, 380, lengthAt(fieldLengths, 6), 500);
    drawTextBar(card, 300, 440, lengthAt(fieldLengths, 7), 240);
    drawTextBar(card, 560, 440, lengthAt(fieldLengths, 8), 240);
    applyColours(card, colours);
    return card;
}

int writeIdCardFaces(const CardImage& photo, const std::array<std::u16string, 9>& fields,
                     CardImageColours colours, const std::string& frontPath,
                     const std::string& backPath) {
    std::vector<size_t> lengths;
    for (const std::u16string& field : fields) lengths.push_back(field.size());
    const int status =
        writePrivateFile(frontPath, encodeCardBitmap(drawCardFront(photo, lengths, colours)));
    if (status != kOk) return status;
    return writePrivateFile(backPath, encodeCardBitmap(drawCardBack(lengths, colours)));
}

}  // namespace pictavo
