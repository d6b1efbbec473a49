// Windows bitmap files, read and written by hand: the format is a header and raw rows, and no
// library on the system reads it.
#pragma once

#include <cstdint>
#include <vector>

#include "pictavo/imaging/picture.h"

namespace pictavo {

// Reads the size and density. Statuses as inspectPicture().
int inspectBmp(const std::vector<uint8_t>& bytes, PictureInfo& info);

// Uncompressed bitmaps of 1, 4 or 8 bits per pixel with a palette, and of 16, 24 or 32 bits
// (plain or with colour masks); the result is R, G, B. Run-length compressed bitmaps answer
// kNotSupported; damaged ones kFileError.
int decodeBmp(const std::vector<uint8_t>& bytes, Picture& picture);

// A 24-bit bitmap, bottom row first as the format prefers, with the picture's density.
std::vector<uint8_t> encodeBmp(const Picture& picture);

}  // namespace pictavo
