// A PDF document of picture pages, built with libharu.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pictavo/imaging/picture.h"

namespace pictavo {

// Pictures that do not say their density are taken to be at 96 dots per inch, the usual
// density of screen pictures.
inline constexpr double kDefaultDpi = 96;

// In PDF points (1/72 inch).
struct PageSize {
    double width = 0;
    double height = 0;
};

// The page a picture of that many pixels fills at its density (kDefaultDpi where the density is
// unknown; one known axis stands for both). PDF pages lie between 3 and 14400 points a side:
// a page beyond either limit is scaled as a whole, keeping its shape, until it fits.
PageSize pageSizeFor(int width, int height, double xDpi, double yDpi);

// Not thread-safe; one document per thread.
class PdfDocument {
  public:
    PdfDocument();
    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete;

    // False when libharu could not start a document (out of memory).
    bool ready() const { return doc_ != nullptr; }

    // One page showing the JPEG data unchanged. False when libharu does not accept it.
    bool addJpegPage(const std::vector<uint8_t>& jpeg, PageSize size);
    // One page showing the picture without loss (deflate-compressed pixels).
    bool addPicturePage(const Picture& picture, PageSize size);

    // Writes the document, replacing `path` only once it is complete. kOk or kFileError.
    int save(const std::string& path);

  private:
    bool addImagePage(void* image, PageSize size);

    // libharu's document handle, untyped so that its header stays out of ours.
    void* doc_ = nullptr;
};

}  // namespace pictavo
