// The picture of a signature: the pad's window in its background colour with the strokes the
// signer wrote in the pen colour, and writing it as a PNG or JPEG file.
#pragma once

#include <cstdint>
#include <string>

#include "pictavo.h"
#include "pictavo/imaging/picture.h"

namespace pictavo {

struct SignatureStyle {
    int width = 400;
    int height = 200;
    uint8_t background[3] = {255, 255, 255};  // R, G, B
    uint8_t pen[3] = {0, 0, 0};
};

// Pictures larger than this on either side are cut to it: the window comes from the page.
inline constexpr int kMaxSignatureSide = 2048;

// The style the page's settings describe: the window's size (left..right, ntop..bottom; the
// default size when it is empty or inverted, at most kMaxSignatureSide), the background BR, BG,
// BB and the pen R, G, B, each held to 0..255. BT and nBackNum do not change the picture.
SignatureStyle styleFromParam(const SignParam& param);

// The picture with `strokes` strokes of a simulated hand, each a little different; 0 gives the
// blank window.
Picture renderSignature(const SignatureStyle& style, int strokes);

// Writes the picture as PNG (".png") or JPEG (".jpg", ".jpeg"), by the path's extension in any
// case; the file is replaced only once the new one is complete. kNotSupported for any other
// extension, kFileError when the file cannot be written, kInternalError when encoding fails.
int writeSignatureImage(const std::string& path, const Picture& picture);

}  // namespace pictavo
