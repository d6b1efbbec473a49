// Work on image files that needs no device: signature marks, PDF assembly, combining two images,
// showing an image to the user.
#pragma once

#include <string>

#include "pictavo/status.h"

namespace pictavo {

struct CombineRequest {
    std::string firstPath;
    std::string secondPath;
    std::string outPath;
    int type = 0;
    int offsetX = 0;
    int offsetY = 0;
};

// Called from any thread; implementations guard their own state (the PDF page list).
class ImageTools {
  public:
    virtual ~ImageTools() = default;

    // `isSigned` receives whether the file carries the library's signature mark.
    virtual int checkFileSign(const std::string& path, bool& isSigned) = 0;
    virtual int addToPdfList(const std::string& path) = 0;
    // Writes the listed images as one PDF and empties the list.
    virtual int combinePdf(const std::string& pdfPath, int jpegQuality) = 0;
    virtual int combineImages(const CombineRequest& request) = 0;
    virtual int show(const std::string& path) = 0;
};

// No image processing is built in yet: everything answers kNotSupported.
class NoImageTools final : public ImageTools {
  public:
    int checkFileSign(const std::string&, bool&) override { return kNotSupported; }
    int addToPdfList(const std::string&) override { return kNotSupported; }
    int combinePdf(const std::string&, int) override { return kNotSupported; }
    int combineImages(const CombineRequest&) override { return kNotSupported; }
    int show(const std::string&) override { return kNotSupported; }
};

}  // namespace pictavo
