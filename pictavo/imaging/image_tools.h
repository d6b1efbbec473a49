// Work on image files that needs no device: PDF assembly, combining two images, showing an image
// to the user. (Signature marks belong to the capture pipeline, which makes them: camera/.)
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

    virtual int addToPdfList(const std::string& path) = 0;
    // Writes the listed images as one PDF and empties the list.
    virtual int combinePdf(const std::string& pdfPath, int jpegQuality) = 0;
    // Draws two images onto one and writes it to request.outPath.
    virtual int combineImages(const CombineRequest& request) = 0;
    // Shows the image to the user, where there is a display.
    virtual int show(const std::string& path) = 0;
};

// Stands in when the camera family is switched off: everything answers kNotSupported.
class NoImageTools final : public ImageTools {
  public:
    int addToPdfList(const std::string&) override { return kNotSupported; }
    int combinePdf(const std::string&, int) override { return kNotSupported; }
    int combineImages(const CombineRequest&) override { return kNotSupported; }
    int show(const std::string&) override { return kNotSupported; }
};

}  // namespace pictavo
