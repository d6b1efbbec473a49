// PNG files through libpng's simplified interface, plus the density (pHYs chunk) that the
// simplified interface neither reads nor writes.
#pragma once

#include <cstdint>
#include <vector>

#include "pictavo/imaging/picture.h"

namespace pictavo {

// Statuses as inspectPicture().
int inspectPng(const std::vector<uint8_t>& bytes, PictureInfo& info);

// Any PNG (palette, 16-bit, interlaced) becomes 8-bit R, G, B, or grey when it has no colour;
// transparency is laid on white, the colour of a page.
int decodePng(const std::vector<uint8_t>& bytes, Picture& picture);

// False only when libpng refuses (out of memory).
bool encodePng(const Picture& picture, std::vector<uint8_t>& out);

}  // namespace pictavo
