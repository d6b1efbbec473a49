// Barcode recognition in image files.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pictavo.h"
#include "pictavo/status.h"

namespace pictavo {

struct Area {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// Called from any thread; implementations guard their own state (the kept list).
class BarcodeReader {
  public:
    virtual ~BarcodeReader() = default;

    // Every code found in the image, in the C interface's record (at most 64 are passed on).
    virtual int recognize(const std::string& path, std::vector<BarcodeResult>& results) = 0;
    // Finds codes of `codeType` (within `area` when given) and keeps their texts for
    // listedText(), replacing the previous list; `count` receives their number.
    virtual int recognizeToList(const std::string& path, int codeType,
                                const std::optional<Area>& area, int& count) = 0;
    virtual int listedText(int index, std::string& text) = 0;
};

// No barcode engine is built in: recognition answers kNotSupported, and the kept list is empty.
class NoBarcodeReader final : public BarcodeReader {
  public:
    int recognize(const std::string&, std::vector<BarcodeResult>&) override {
        return kNotSupported;
    }
    int recognizeToList(const std::string&, int, const std::optional<Area>&, int&) override {
        return kNotSupported;
    }
    int listedText(int, std::string&) override { return kInvalidArgument; }
};

}  // namespace pictavo
