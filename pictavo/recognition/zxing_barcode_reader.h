// The barcode engine: ZXing-cpp over images read with Leptonica, and naming captures after the
// code the camera shows.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pictavo/camera/frame_source.h"
#include "pictavo/recognition/barcode_reader.h"
#include "pictavo/recognition/image_file.h"

namespace pictavo {

// One decoded code, texts in UTF-8.
struct DecodedBarcode {
    int formatCode = 0;  // the number of barcode_formats.h
    std::string formatName;
    std::string text;
    int x[4] = {};  // corners: top left, top right, bottom right, bottom left
    int y[4] = {};
    int orientation = 0;  // degrees
};

// Every code of `codeType` in the image, top to bottom, then left to right (by each code's
// highest corner, then its leftmost one). The decoder runs in a child process: the Debian build
// of ZXing-cpp keeps its assertions, and some images make them abort. kOk, or kFailed when the
// decoder crashed or took longer than a minute.
int decodeBarcodes(const GrayImage& image, int codeType, std::vector<DecodedBarcode>& found);

class ZxingBarcodeReader final : public BarcodeReader {
  public:
    // Where live frames come from; replaceable so the naming rule can be tested without a
    // camera.
    using FrameProvider = std::function<int(int dev, FrameCopy& frame)>;

    explicit ZxingBarcodeReader(FrameProvider frames = latestCameraFrame);

    int recognize(const std::string& path, std::vector<BarcodeResult>& results) override;
    int recognizeToList(const std::string& path, int codeType, const std::optional<Area>& area,
                        int& count) override;
    int listedText(int index, std::string& text) override;
    int setNameByBarcode(int dev, bool on) override;
    std::string capturePath(int dev, const std::string& requestedPath) override;

  private:
    FrameProvider frames_;
    std::mutex mutex_;
    std::vector<std::string> listed_;  // texts in the interface's character set
    std::map<int, bool> namingOn_;     // by camera index
};

}  // namespace pictavo
