// The barcode formats the reader knows, each with the number a caller selects it by ("nCodeType")
// and the name that stands before the colon in a result. One table, so the numbers, the names and
// the decoder's formats cannot drift apart.
#pragma once

#include <ZXing/BarcodeFormat.h>

#include <string>

namespace pictavo {

struct BarcodeFormatEntry {
    int code;          // 0 is "any format" and has no entry
    const char* name;  // e.g. "QR", "EAN13"
    ZXing::BarcodeFormat format;
};

// clang-format off
inline constexpr BarcodeFormatEntry kBarcodeFormats[] = {
    {1,  "QR",               ZXing::BarcodeFormat::QRCode},
    {2,  "EAN13",            ZXing::BarcodeFormat::EAN13},
    {3,  "EAN8",             ZXing::BarcodeFormat::EAN8},
    {4,  "UPCA",             ZXing::BarcodeFormat::UPCA},
    {5,  "UPCE",             ZXing::BarcodeFormat::UPCE},
    {6,  "CODE128",          ZXing::BarcodeFormat::Code128},
    {7,  "CODE39",           ZXing::BarcodeFormat::Code39},
    {8,  "CODE93",           ZXing::BarcodeFormat::Code93},
    {9,  "CODABAR",          ZXing::BarcodeFormat::Codabar},
    {10, "ITF",              ZXing::BarcodeFormat::ITF},
    {11, "DATAMATRIX",       ZXing::BarcodeFormat::DataMatrix},
    {12, "PDF417",           ZXing::BarcodeFormat::PDF417},
    {13, "AZTEC",            ZXing::BarcodeFormat::Aztec},
    {14, "MAXICODE",         ZXing::BarcodeFormat::MaxiCode},
    {15, "DATABAR",          ZXing::BarcodeFormat::DataBar},
    {16, "DATABAR_EXPANDED", ZXing::BarcodeFormat::DataBarExpanded},
    {17, "MICROQR",          ZXing::BarcodeFormat::MicroQRCode},
};
// clang-format on

// The entry of a decoder format; null for formats without one.
inline const BarcodeFormatEntry* barcodeFormatEntry(ZXing::BarcodeFormat format) {
    for (const BarcodeFormatEntry& entry : kBarcodeFormats) {
        if (entry.format == format) return &entry;
    }
    return nullptr;
}

// The formats a code type selects: every format for 0, one for a listed number, none otherwise.
inline ZXing::BarcodeFormats barcodeFormatsOf(int codeType) {
    if (codeType == 0) return ZXing::BarcodeFormat::Any;
    for (const BarcodeFormatEntry& entry : kBarcodeFormats) {
        if (entry.code == codeType) return entry.format;
    }
    return ZXing::BarcodeFormat::None;
}

}  // namespace pictavo
