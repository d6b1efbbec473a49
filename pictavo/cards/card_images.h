// The pictures the simulated ID card reader hands out: the holder's photo and the images of the
// card's two faces, drawn in memory and written as 24-bit bitmap files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pictavo {

// Rows top to bottom, R, G, B per pixel, no padding.
struct CardImage {
    int width = 0;
    int height = 0;
    int pixelsPerMetre = 0;  // the density the bitmap header states
    std::vector<uint8_t> rgb;

    CardImage(int w, int h, int density);
};

// How the faces are rendered; the numbers are the `type` of the ID card image call.
enum class CardImageColours { kColour = 0, kGrey = 1, kBlackAndWhite = 2 };

// A 24-bit uncompressed bitmap file: headers, then rows bottom first, each padded to 4 bytes.
std::vector<uint8_t> encodeCardBitmap(const CardImage& image);


// A head-and-shoulders picture (102 x 126) whose colours follow from `seed`, so each card has its
// own and the same card always the same.
CardImage drawHolderPhoto(uint32_t seed);

// The card's front (the photo on the right, one bar per text field, as long as its text) and back
// (emblem, title and validity bars), 856 x 540: the card's 85.6 x 54 mm at 10 pixels a millimetre.
// `fieldLengths` are the lengths of the front's texts in characters.
CardImage drawCardFront(const CardImage& photo, const std::vector<size_t>& fieldLengths,
                        CardImageColours colours);
CardImage drawCardBack(const std::vector<size_t>& fieldLengths, CardImageColours colours);

// Both faces of an ID card with these nine fields drawn and written as private bitmap files
// (readable by the user alone). A Status: kOk, or kFileError when a file cannot be written.
int writeIdCardFaces(const CardImage& photo, const std::array<std::u16string, 9>& fields,
                     CardImageColours colours, const std::string& frontPath,
                     const std::string& backPath);

}  // namespace pictavo
