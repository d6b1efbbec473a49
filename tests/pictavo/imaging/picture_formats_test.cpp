// Reading BMP, PNG and JPEG files: hand-made bitmaps of every supported layout, damaged and
// hostile headers, densities, and replacing output files whole.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <filesystem>
#include <initializer_list>
#include <vector>

#include "../temp_dir.h"
#include "imaging_support.h"
#include "pictavo/imaging/bmp_codec.h"
#include "pictavo/imaging/png_codec.h"
#include "pictavo/status.h"

namespace {

using namespace pictavo;
using namespace pictavo_test;
using namespace imaging_test;
using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// A bitmap with the 40-byte info header: `extra` (masks, palette) then `rows` exactly as they
// go into the file.
Bytes bitmap(int32_t width, int32_t height, uint16_t bits, uint32_t compression, const Bytes& extra,
             const Bytes& rows, uint32_t paletteUsed = 0, uint32_t pixelsPerMetre = 0) {
    Bytes b{'B', 'M'};
    const uint32_t offset = 14 + 40 + static_cast<uint32_t>(extra.size());
    put32(b, offset + static_cast<uint32_t>(rows.size()));
    put32(b, 0);
    put32(b, offset);
    put32(b, 40);
    put32(b, static_cast<uint32_t>(width));
    put32(b, static_cast<uint32_t>(height));
    put16(b, 1);
    put16(b, bits);
    put32(b, compression);
    put32(b, static_cast<uint32_t>(rows.size()));
    put32(b, pixelsPerMetre);
    put32(b, pixelsPerMetre);
    put32(b, paletteUsed);
    put32(b, 0);
    b.insert(b.end(), extra.begin(), extra.end());
    b.insert(b.end(), rows.begin(), rows.end());
    return b;
}

Picture decodeBmpOrFail(const Bytes& bytes) {
    Picture picture;
    EXPECT_EQ(decodeBmp(bytes, picture), kOk);
    return picture;
}

void expectPixels(const Picture& picture, int width, int height, std::initializer_list<Rgb> rows) {
    ASSERT_EQ(picture.width, width);
    ASSERT_EQ(picture.height, height);
    ASSERT_EQ(picture.components, 3);
    int i = 0;
    for (const Rgb& expected : rows) {
        EXPECT_EQ(pixelAt(picture, i % width, i / width), expected) << "pixel " << i;
        ++i;
    }
}

// 3x2, 24 bits: each row is 9 bytes padded to 12. Top row red, green, blue; bottom row white,
// black, (10, 20, 30).
const Bytes kRowsBottomUp24 = {
    255, 255, 255, 0, 0,   0, 30,  20, 10, 0, 0, 0,  // bottom row (B, G, R)
    0,   0,   255, 0, 255, 0, 255, 0,  0,  0, 0, 0,  // top row
};

TEST(BitmapReading, TwentyFourBitRowsEitherWayUp) {
    expectPixels(decodeBmpOrFail(bitmap(3, 2, 24, 0, {}, kRowsBottomUp24)), 3, 2,
                 {kRed, kGreen, kBlue, kWhite, {0, 0, 0}, {10, 20, 30}});

    Bytes topDown(kRowsBottomUp24.begin() + 12, kRowsBottomUp24.end());
    topDown.insert(topDown.end(), kRowsBottomUp24.begin(), kRowsBottomUp24.begin() + 12);
    expectPixels(decodeBmpOrFail(bitmap(3, -2, 24, 0, {}, topDown)), 3, 2,
                 {kRed, kGreen, kBlue, kWhite, {0, 0, 0}, {10, 20, 30}});
}

TEST(BitmapReading, PalettesOfOneFourAndEightBits) {
    // Two palette entries (B, G, R, reserved); index 7 lies beyond them and reads as black.
    const Bytes palette = {3, 2, 1, 0, 50, 100, 200, 0};
    expectPixels(decodeBmpOrFail(bitmap(3, 1, 8, 0, palette, {1, 0, 7, 0}, 2)), 3, 1,
                 {{200, 100, 50}, {1, 2, 3}, {0, 0, 0}});
    // Four bits: the high nibble is the left pixel.
    expectPixels(decodeBmpOrFail(bitmap(3, 1, 4, 0, palette, {0x10, 0x10, 0, 0}, 2)), 3, 1,
                 {{200, 100, 50}, {1, 2, 3}, {200, 100, 50}});
    // One bit, nine pixels across a byte boundary: 1000 0001 | 1.
    Picture ones = decodeBmpOrFail(bitmap(9, 1, 1, 0, palette, {0x81, 0x80, 0, 0}, 2));
    const Rgb on{200, 100, 50};
    const Rgb off{1, 2, 3};
    expectPixels(ones, 9, 1, {on, off, off, off, off, off, off, on, on});
}

TEST(BitmapReading, SixteenAndThirtyTwoBitsWithAndWithoutMasks) {
    // 16 bits, 5-6-5 masks given after the header: red, green.
    Bytes masks;
    put32(masks, 0xF800);
    put32(masks, 0x07E0);
    put32(masks, 0x001F);
    expectPixels(decodeBmpOrFail(bitmap(2, 1, 16, 3, masks, {0x00, 0xF8, 0xE0, 0x07})), 2, 1,
                 {kRed, kGreen});
    // 16 bits plain is 5-5-5: pure blue, white.
    expectPixels(decodeBmpOrFail(bitmap(2, 1, 16, 0, {}, {0x1F, 0x00, 0xFF, 0x7F})), 2, 1,
                 {kBlue, kWhite});
    // 32 bits plain: B, G, R, unused.
    expectPixels(decodeBmpOrFail(bitmap(1, 1, 32, 0, {}, {30, 20, 10, 99})), 1, 1, {{10, 20, 30}});
}

TEST(BitmapReading, OldCoreHeaderAndDensity) {
    Bytes core{'B', 'M'};
    put32(core, 14 + 12 + 4);
    put32(core, 0);
    put32(core, 14 + 12);
    put32(core, 12);
    put16(core, 1);  // width
    put16(core, 1);  // height
    put16(core, 1);
    put16(core, 24);
    core.insert(core.end(), {0, 0, 255, 0});
    expectPixels(decodeBmpOrFail(core), 1, 1, {kRed});

    PictureInfo info;
    ASSERT_EQ(inspectPicture(bitmap(3, 2, 24, 0, {}, kRowsBottomUp24, 0, 11811), info), kOk);
    EXPECT_EQ(info.format, ImageFormat::kBmp);
    EXPECT_NEAR(info.xDpi, 300, 0.5);
    EXPECT_NEAR(info.yDpi, 300, 0.5);
}

TEST(BitmapReading, DamagedOrHostileHeadersAreRefusedWithoutReadingPastTheEnd) {
    Picture picture;
    Bytes truncated = bitmap(3, 2, 24, 0, {}, kRowsBottomUp24);
    truncated.resize(truncated.size() - 5);
    EXPECT_EQ(decodeBmp(truncated, picture), kFileError) << "pixel rows cut short";
    EXPECT_EQ(decodeBmp(bitmap(100000, 100000, 24, 0, {}, {}), picture), kFileError)
        << "ten gigapixels declared in a few bytes";
    EXPECT_EQ(decodeBmp(bitmap(0, 2, 24, 0, {}, kRowsBottomUp24), picture), kFileError);
    EXPECT_EQ(decodeBmp(bitmap(1, INT32_MIN, 24, 0, {}, {}), picture), kFileError);
    EXPECT_EQ(decodeBmp(bitmap(3, 2, 7, 0, {}, kRowsBottomUp24), picture), kFileError)
        << "no such bit depth";
    EXPECT_EQ(decodeBmp(bitmap(3, 2, 8, 1, {}, {0, 0}), picture), kNotSupported)
        << "run-length compressed";
    Bytes headerOnly = bitmap(3, 2, 24, 0, {}, {});
    headerOnly.resize(20);
    EXPECT_EQ(decodeBmp(headerOnly, picture), kFileError) << "header cut short";
}

TEST(BitmapWriting, ReadsBackWithPaddingAndDensity) {
    Picture source = solidPicture(5, 3, kBlue);  // 15 bytes a row, padded to 16
    source.pixels[0] = 255;                      // top-left pixel magenta
    source.xDpi = 200;
    source.yDpi = 100;
    Picture back;
    ASSERT_EQ(decodeBmp(encodeBmp(source), back), kOk);
    EXPECT_EQ(back.pixels, source.pixels);
    EXPECT_NEAR(back.xDpi, 200, 0.1);
    EXPECT_NEAR(back.yDpi, 100, 0.1);
}

TEST(PngReading, TransparencyLiesOnWhiteAndGreyStaysGrey) {
    // Written with libpng directly: red opaque, blue fully transparent.
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 2;
    image.height = 1;
    image.format = PNG_FORMAT_RGBA;
    const uint8_t rgba[] = {255, 0, 0, 255, 0, 0, 255, 0};
    png_alloc_size_t size = 0;
    ASSERT_NE(png_image_write_get_memory_size(image, size, 0, rgba, 0, nullptr), 0);
    Bytes png(size);
    ASSERT_NE(png_image_write_to_memory(&image, png.data(), &size, 0, rgba, 0, nullptr), 0);
    png.resize(size);

    Picture picture;
    ASSERT_EQ(decodePicture(png, picture), kOk);
    expectPixels(picture, 2, 1, {kRed, kWhite});

    Picture grey;
    grey.width = 2;
    grey.height = 1;
    grey.components = 1;
    grey.pixels = {0, 200};
    Bytes greyPng;
    ASSERT_TRUE(encodePng(grey, greyPng));
    ASSERT_EQ(decodePicture(greyPng, picture), kOk);
    EXPECT_EQ(picture.components, 1);
    EXPECT_EQ(picture.pixels, grey.pixels);
}

// libpng's own reader finds the density we write, which also proves the chunk's checksum.
TEST(PngWriting, DensityIsAValidPhysChunk) {
    Picture source = solidPicture(4, 4, kGreen);
    source.xDpi = 300;
    source.yDpi = 150;
    Bytes png;
    ASSERT_TRUE(encodePng(source, png));

    png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(reader);
    struct Source {
        const Bytes* bytes;
        size_t at;
    } state{&png, 0};
    png_set_read_fn(reader, &state, [](png_structp p, png_bytep out, size_t n) {
        auto* s = static_cast<Source*>(png_get_io_ptr(p));
        if (s->at + n > s->bytes->size()) png_error(p, "short");
        std::copy_n(s->bytes->data() + s->at, n, out);
        s->at += n;
    });
    png_uint_32 x = 0;
    png_uint_32 y = 0;
    int unit = -1;
    if (setjmp(png_jmpbuf(reader)) == 0) {
        png_read_info(reader, info);
        png_get_pHYs(reader, info, &x, &y, &unit);
    }
    png_destroy_read_struct(&reader, &info, nullptr);
    EXPECT_EQ(unit, PNG_RESOLUTION_METER);
    EXPECT_EQ(x, 11811u);  // 300 dpi
    EXPECT_EQ(y, 5906u);   // 150 dpi

    PictureInfo read;
    ASSERT_EQ(inspectPicture(png, read), kOk);
    EXPECT_NEAR(read.xDpi, 300, 0.5);
    Picture back;
    ASSERT_EQ(decodePicture(png, back), kOk);
    EXPECT_EQ(back.pixels, source.pixels);
}

TEST(JpegHeader, DensityUnitsAndDeclaredSize) {
    Bytes jpeg = solidJpeg(254, 127, kRed, 72);
    // JFIF: FF D8, FF E0, length, "JFIF\0", version (2), unit at 13, densities at 14 and 16.
    ASSERT_EQ(asText(Bytes(jpeg.begin() + 6, jpeg.begin() + 10)), "JFIF");
    jpeg[13] = 2;  // dots per centimetre
    jpeg[14] = 0;
    jpeg[15] = 100;
    jpeg[16] = 0;
    jpeg[17] = 50;
    PictureInfo info;
    ASSERT_EQ(inspectPicture(jpeg, info), kOk);
    EXPECT_EQ(info.format, ImageFormat::kJpeg);
    EXPECT_EQ(info.width, 254);
    EXPECT_NEAR(info.xDpi, 254, 0.01);
    EXPECT_NEAR(info.yDpi, 127, 0.01);

    jpeg[13] = 0;  // aspect ratio only: no density
    ASSERT_EQ(inspectPicture(jpeg, info), kOk);
    EXPECT_EQ(info.xDpi, 0);

    // A header that declares 60000 x 60000 is refused before any pixel is decoded.
    Bytes huge = solidJpeg(8, 8, kRed);
    for (size_t i = 2; i + 8 < huge.size(); ++i) {
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = huge[i + 7] = 0xEA;
            huge[i + 6] = huge[i + 8] = 0x60;
            break;
        }
    }
    Picture picture;
    EXPECT_EQ(inspectPicture(huge, info), kFileError);
    EXPECT_EQ(decodePicture(huge, picture), kFileError);
}

TEST(PictureFiles, OnlyKnownFormatsAndRegularFiles) {
    PictureInfo info;
    EXPECT_EQ(inspectPicture({}, info), kNotSupported);
    EXPECT_EQ(inspectPicture(Bytes{'h', 'e', 'l', 'l', 'o'}, info), kNotSupported);
    EXPECT_EQ(inspectPicture(Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 16}, info), kFileError)
        << "a JPEG cut off in its header";

    TempDir dir;
    Bytes bytes;
    EXPECT_EQ(readPictureFile(dir.file("missing.jpg"), bytes), kFileError);
    EXPECT_EQ(readPictureFile(dir.path().string(), bytes), kFileError);
    // A FIFO with no writer would block a plain open for ever.
    const std::string fifo = dir.file("fifo.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(readPictureFile(fifo, bytes), kFileError);
}

}  // namespace
