// Saving a camera's own Motion-JPEG frame as a JPEG file without decoding and re-encoding it.
// UVC cameras leave out what a file needs: the JFIF header (they send an "AVI1" segment or
// none) and, mostly, the Huffman tables, which Motion-JPEG takes as the standard ones. Viewers
// that do not know that convention cannot open such a frame, so both are put in.
#pragma once

#include <cstdint>
#include <vector>

namespace pictavo {

// Makes a complete baseline JPEG file of `frame`: SOI, a JFIF header carrying `xDpi` x `yDpi`,
// the frame's own segments (its APP0 replaced), the standard Huffman tables when the frame has
// none, then its scan unchanged. False when the frame is not a well-formed JPEG up to its scan,
// or needs tables that are not the standard ones (a progressive frame without tables).
bool completeMotionJpeg(const std::vector<uint8_t>& frame, int xDpi, int yDpi,
                        std::vector<uint8_t>& file);

}  // namespace pictavo
