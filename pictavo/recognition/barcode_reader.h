// Barcode recognition in image files, and naming camera captures after the barcode they show.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pictavo.h"
#include "pictavo/camera/frame_source.h"
#include "pictavo/status.h"

namespace pictavo {

struct Area {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// Called from any thread; implementations guard their own state (the kept list, the naming
// switches).
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

    // Switches naming of the captures of open camera `dev` after their barcode on or off.
    virtual int setNameByBarcode(int dev, bool on) = 0;
    // For the capture pipeline: the path a capture of `dev` requested as `requestedPath` is
    // written to (the requested path itself unless naming is on and the camera shows a code).
    virtual std::string capturePath(int dev, const std::string& requestedPath) = 0;
};

// No barcode engine is built in: recognition answers kNotSupported, the kept list is empty,
// and captures keep the names they were given.
class NoBarcodeReader final : public BarcodeReader {
  public:
    int recognize(const std::string&, std::vector<BarcodeResult>&) override {
        return kNotSupported;
    }
    int recognizeToList(const std::string&, int, const std::optional<Area>&, int&) override {
        return kNotSupported;
    }
    int listedText(int, std::string&) override { return kInvalidArgument; }
    // Naming acts on an open camera: without one the answer is kNoDevice, as for every other
    // camera setting.
    int setNameByBarcode(int dev, bool) override {
        FrameCopy frame;
        const int status = latestCameraFrame(dev, frame);
        return status == kOk ? kNotSupported : status;
    }
    std::string capturePath(int, const std::string& requestedPath) override {
        return requestedPath;
    }
};

}  // namespace pictavo
