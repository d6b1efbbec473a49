// Reading image files through Leptonica.
#include "pictavo/recognition/image_file.h"

#include <leptonica/allheaders.h>
#include <sys/stat.h>

#include "pictavo/status.h"

namespace pictavo {

void PixDeleter::operator()(Pix* pix) const { pixDestroy(&pix); }

int probeImage(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return kFileError;
    l_int32 format = 0, width = 0, height = 0, bitsPerSample = 0, samplesPerPixel = 0,
            colourMapped = 0;
    if (pixReadHeader(path.c_str(), &format, &width, &height, &bitsPerSample, &samplesPerPixel,
                      &colourMapped) != 0)
        return kFileError;
    if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > kMaxImagePixels)
        return kFileError;
    return kOk;
}

int readImage(const std::string& path, PixPtr& image) {
    image.reset();
    const int status = probeImage(path);
    if (status != kOk) return status;
    image.reset(pixRead(path.c_str()));
    return image ? kOk : kFileError;
}

int pixelWidth(Pix* image) { return static_cast<int>(pixGetWidth(image)); }
int pixelHeight(Pix* image) { return static_cast<int>(pixGetHeight(image)); }

bool toGray(Pix* image, GrayImage& gray) {
    if (image == nullptr) return false;
    // Transparent areas become white, as a viewer would show them on paper.
    PixPtr opaque(pixGetDepth(image) == 32 && pixGetSpp(image) == 4
                      ? pixAlphaBlendUniform(image, 0xffffff00)
                      : pixClone(image));
    if (!opaque) return false;
    PixPtr eight(pixConvertTo8(opaque.get(), 0));
    if (!eight) return false;
    gray.width = static_cast<int>(pixGetWidth(eight.get()));
    gray.height = static_cast<int>(pixGetHeight(eight.get()));
    gray.pixels.resize(static_cast<size_t>(gray.width) * static_cast<size_t>(gray.height));
    const l_uint32* data = pixGetData(eight.get());
    const int wordsPerLine = static_cast<int>(pixGetWpl(eight.get()));
    uint8_t* out = gray.pixels.data();
    for (int y = 0; y < gray.height; ++y) {
        const l_uint32* line = data + static_cast<ptrdiff_t>(y) * wordsPerLine;
        for (int x = 0; x < gray.width; ++x) *out++ = static_cast<uint8_t>(GET_DATA_BYTE(line, x));
    }
    return true;
}

GrayImage grayFromRgb(int width, int height, const std::vector<uint8_t>& rgb) {
    GrayImage gray;
    if (width <= 0 || height <= 0 ||
        rgb.size() < static_cast<size_t>(width) * static_cast<size_t>(height) * 3)
        return gray;
    gray.width = width;
    gray.height = height;
    gray.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (size_t i = 0; i < gray.pixels.size(); ++i) {
        const unsigned r = rgb[3 * i], g = rgb[3 * i + 1], b = rgb[3 * i + 2];
        // ITU-R BT.601 luma in integers.
        gray.pixels[i] = static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
    }
    return gray;
}

PixPtr pixFromGray(const GrayImage& gray) {
    PixPtr pix(pixCreate(gray.width, gray.height, 8));
    if (!pix) return pix;
    l_uint32* data = pixGetData(pix.get());
    const int wordsPerLine = static_cast<int>(pixGetWpl(pix.get()));
    const uint8_t* in = gray.pixels.data();
    for (int y = 0; y < gray.height; ++y) {
        l_uint32* line = data + static_cast<ptrdiff_t>(y) * wordsPerLine;
        for (int x = 0; x < gray.width; ++x) SET_DATA_BYTE(line, x, *in++);
    }
    return pix;
}

}  // namespace pictavo
