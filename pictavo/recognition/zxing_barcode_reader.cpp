// Barcode recognition with ZXing-cpp.
#include "pictavo/recognition/zxing_barcode_reader.h"

#include <ZXing/ReadBarcode.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <tuple>

#include "pictavo/recognition/barcode_file_name.h"
#include "pictavo/recognition/barcode_formats.h"
#include "pictavo/recognition/isolated_call.h"
#include "pictavo/recognition/locale_text.h"

namespace pictavo {
namespace {

// The texts of a record entry and of the kept list, as the C interface sizes them.
constexpr size_t kNameBytes = sizeof(BarcodeResult::text1) - 1;
constexpr size_t kTextBytes = sizeof(BarcodeResult::text2) - 1;
constexpr size_t kListedTextBytes = 2047;

int readGray(const std::string& path, GrayImage& gray) {
    PixPtr image;
    const int status = readImage(path, image);
    if (status != kOk) return status;
    return toGray(image.get(), gray) ? kOk : kFileError;
}

// The part of `gray` inside `area`, clipped to the image. False when nothing of the image is
// inside (an empty, inverted or wholly outside rectangle).
bool crop(const GrayImage& gray, const Area& area, GrayImage& part) {
    const int left = std::max(area.left, 0);
    const int top = std::max(area.top, 0);
    const int right = std::min(area.right, gray.width);
    const int bottom = std::min(area.bottom, gray.height);
    if (right <= left || bottom <= top) return false;
    part.width = right - left;
    part.height = bottom - top;
    part.pixels.resize(static_cast<size_t>(part.width) * static_cast<size_t>(part.height));
    for (int y = 0; y < part.height; ++y) {
        const uint8_t* row = gray.pixels.data() +
                             static_cast<size_t>(top + y) * static_cast<size_t>(gray.width) +
                             static_cast<size_t>(left);
        std::memcpy(part.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(part.width),
                    row, static_cast<size_t>(part.width));
    }
    return true;
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

constexpr std::chrono::milliseconds kDecodeTimeout{60000};

// Results cross from the decoding child as: per code, the format code, the orientation, four x,
// four y (ten int32) and the text's length (uint32) followed by its bytes.
void putInt(std::string& out, int32_t value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

bool takeInt(const std::string& in, size_t& at, int32_t& value) {
    if (in.size() - at < sizeof value) return false;
    std::memcpy(&value, in.data() + at, sizeof value);
    at += sizeof value;
    return true;
}

// Runs in the decoding child.
std::string decodeAndPack(const GrayImage& image, ZXing::BarcodeFormats formats) {
    ZXing::DecodeHints hints;
    // Downscaled passes make the Debian build abort on pages with linear codes (a duplicate
    // check asserts); full resolution finds the codes of scanned pages anyway.
    hints.setFormats(formats).setTryHarder(true).setTryRotate(true).setTryDownscale(false);
    const ZXing::ImageView view(image.pixels.data(), image.width, image.height,
                                ZXing::ImageFormat::Lum);
    ZXing::Results results = ZXing::ReadBarcodes(view, hints);
    // The decoder finds Aztec and MaxiCode symbols only in images that hold nothing else (a
    // file of one code, or a rectangle around it); that reading costs little when the first
    // found nothing.
    if (results.empty()) results = ZXing::ReadBarcodes(view, hints.setIsPure(true));
    std::string packed;
    for (const ZXing::Result& result : results) {
        const BarcodeFormatEntry* entry = barcodeFormatEntry(result.format());
        if (!result.isValid() || entry == nullptr) continue;
        putInt(packed, entry->code);
        putInt(packed, result.orientation());
        const auto& position = result.position();
        for (int i = 0; i < 4; ++i) putInt(packed, position[i].x);
        for (int i = 0; i < 4; ++i) putInt(packed, position[i].y);
        const std::string text = result.text();
        putInt(packed, static_cast<int32_t>(text.size()));
        packed += text;
    }
    return packed;
}

bool unpack(const std::string& packed, std::vector<DecodedBarcode>& found) {
    size_t at = 0;
    while (at < packed.size()) {
        DecodedBarcode code;
        int32_t length = 0;
        if (!takeInt(packed, at, code.formatCode) || !takeInt(packed, at, code.orientation))
            return false;
        for (int& x : code.x)
            if (!takeInt(packed, at, x)) return false;
        for (int& y : code.y)
            if (!takeInt(packed, at, y)) return false;
        if (!takeInt(packed, at, length) || length < 0 ||
            packed.size() - at < static_cast<size_t>(length))
            return false;
        code.text.assign(packed, at, static_cast<size_t>(length));
        at += static_cast<size_t>(length);
        for (const BarcodeFormatEntry& entry : kBarcodeFormats) {
            if (entry.code == code.formatCode) code.formatName = entry.name;
        }
        if (code.formatName.empty()) return false;
        found.push_back(std::move(code));
    }
    return true;
}

}  // namespace

int decodeBarcodes(const GrayImage& image, int codeType, std::vector<DecodedBarcode>& found) {
    found.clear();
    const ZXing::BarcodeFormats formats = barcodeFormatsOf(codeType);
    if (formats.empty() || image.width <= 0 || image.height <= 0) return kOk;
    std::string packed;
    const int status =
        runIsolated([&] { return decodeAndPack(image, formats); }, kDecodeTimeout, packed);
    if (status != kOk) return status;
    if (!unpack(packed, found)) return kFailed;
    const auto key = [](const DecodedBarcode& code) {
        return std::make_tuple(*std::min_element(code.y, code.y + 4),
                               *std::min_element(code.x, code.x + 4));
    };
    std::stable_sort(
        found.begin(), found.end(),
        [&](const DecodedBarcode& a, const DecodedBarcode& b) { return key(a) < key(b); });
    return kOk;
}

ZxingBarcodeReader::ZxingBarcodeReader(FrameProvider frames) : frames_(std::move(frames)) {}

int ZxingBarcodeReader::recognize(const std::string& path, std::vector<BarcodeResult>& results) {
    results.clear();
    GrayImage gray;
    const int status = readGray(path, gray);
    if (status != kOk) return status;
    std::vector<DecodedBarcode> codes;
    const int decoded = decodeBarcodes(gray, 0, codes);
    if (decoded != kOk) return decoded;
    for (const DecodedBarcode& code : codes) {
        BarcodeResult entry{};
        const std::string name = toInterfaceText(code.formatName, kNameBytes);
        const std::string text = toInterfaceText(code.text, kTextBytes);
        std::memcpy(entry.text1, name.data(), name.size());
        std::memcpy(entry.text2, text.data(), text.size());
        for (int i = 0; i < 4; ++i) {
            entry.values1[i] = code.x[i];
            entry.values2[i] = code.y[i];
        }
        entry.value3 = code.formatCode;
        entry.value4 = code.orientation;
        results.push_back(entry);
    }
    return kOk;
}

int ZxingBarcodeReader::recognizeToList(const std::string& path, int codeType,
                                        const std::optional<Area>& area, int& count) {
    count = 0;
    {
        // A failed recognition must not leave the previous image's texts to be fetched.
        std::lock_guard<std::mutex> lock(mutex_);
        listed_.clear();
    }
    if (codeType != 0 && barcodeFormatsOf(codeType).empty()) return kInvalidArgument;
    GrayImage gray;
    const int status = readGray(path, gray);
    if (status != kOk) return status;
    if (area) {
        GrayImage part;
        if (!crop(gray, *area, part)) return kInvalidArgument;
        gray = std::move(part);
    }
    std::vector<DecodedBarcode> codes;
    const int decoded = decodeBarcodes(gray, codeType, codes);
    if (decoded != kOk) return decoded;
    std::vector<std::string> texts;
    for (const DecodedBarcode& code : codes)
        texts.push_back(toInterfaceText(code.text, kListedTextBytes));
    std::lock_guard<std::mutex> lock(mutex_);
    listed_ = std::move(texts);
    count = static_cast<int>(listed_.size());
    return kOk;
}

int ZxingBarcodeReader::listedText(int index, std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index < 0 || static_cast<size_t>(index) >= listed_.size()) return kInvalidArgument;
    text = listed_[static_cast<size_t>(index)];
    return kOk;
}

int ZxingBarcodeReader::setNameByBarcode(int dev, bool on) {
    // The switch belongs to an open camera: only one that delivers frames takes it.
    FrameCopy frame;
    const int status = frames_(dev, frame);
    if (status != kOk) return status;
    std::lock_guard<std::mutex> lock(mutex_);
    namingOn_[dev] = on;
    return kOk;
}

std::string ZxingBarcodeReader::capturePath(int dev, const std::string& requestedPath) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = namingOn_.find(dev);
        if (it == namingOn_.end() || !it->second) return requestedPath;
    }
    FrameCopy frame;
    if (frames_(dev, frame) != kOk) return requestedPath;
    std::vector<DecodedBarcode> codes;
    if (decodeBarcodes(grayFromRgb(frame.width, frame.height, frame.rgb), 0, codes) != kOk ||
        codes.empty())
        return requestedPath;
    return barcodeNamedPath(requestedPath, codes.front().text, fileExists);
}

}  // namespace pictavo
