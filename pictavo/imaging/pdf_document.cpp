// PDF pages of pictures through libharu. libharu reports failures through return values as long
// as no error handler is installed, so nothing jumps or throws out of it.
#include "pictavo/imaging/pdf_document.h"

#include <hpdf.h>

#include <algorithm>

#include "common/file_writer.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr double kPointsPerInch = 72;
constexpr double kSmallestSide = HPDF_MIN_PAGE_SIZE;
constexpr double kLargestSide = HPDF_MAX_PAGE_SIZE;

HPDF_Doc handle(void* doc) { return static_cast<HPDF_Doc>(doc); }

}  // namespace

PageSize pageSizeFor(int width, int height, double xDpi, double yDpi) {
    if (xDpi <= 0) xDpi = yDpi > 0 ? yDpi : kDefaultDpi;
    if (yDpi <= 0) yDpi = xDpi;
    PageSize size{width * kPointsPerInch / xDpi, height * kPointsPerInch / yDpi};
    const double shrink = std::min({1.0, kLargestSide / size.width, kLargestSide / size.height});
    size.width *= shrink;
    size.height *= shrink;
    const double grow = std::max({1.0, kSmallestSide / size.width, kSmallestSide / size.height});
    size.width *= grow;
    size.height *= grow;
    // A sliver (one pixel by thousands) cannot keep its shape within both limits.
    size.width = std::clamp(size.width, kSmallestSide, kLargestSide);
    size.height = std::clamp(size.height, kSmallestSide, kLargestSide);
    return size;
}

PdfDocument::PdfDocument() {
    HPDF_Doc doc = HPDF_New(nullptr, nullptr);
    if (doc == nullptr) return;
    if (HPDF_SetCompressionMode(doc, HPDF_COMP_ALL) != HPDF_OK ||
        HPDF_SetInfoAttr(doc, HPDF_INFO_CREATOR, "libpictavo") != HPDF_OK) {
        HPDF_Free(doc);
        return;
    }
    doc_ = doc;
}

PdfDocument::~PdfDocument() {
    if (doc_ != nullptr) HPDF_Free(handle(doc_));
}

bool PdfDocument::addImagePage(void* image, PageSize size) {
    if (image == nullptr) {
        HPDF_ResetError(handle(doc_));
        return false;
    }
    HPDF_Page page = HPDF_AddPage(handle(doc_));
    if (page == nullptr) return false;
    const auto width = static_cast<HPDF_REAL>(size.width);
    const auto height = static_cast<HPDF_REAL>(size.height);
    return HPDF_Page_SetWidth(page, width) == HPDF_OK &&
           HPDF_Page_SetHeight(page, height) == HPDF_OK &&
           HPDF_Page_DrawImage(page, static_cast<HPDF_Image>(image), 0, 0, width, height) ==
               HPDF_OK;
}

bool PdfDocument::addJpegPage(const std::vector<uint8_t>& jpeg, PageSize size) {
    if (doc_ == nullptr || jpeg.empty()) return false;
    return addImagePage(
        HPDF_LoadJpegImageFromMem(handle(doc_), jpeg.data(), static_cast<HPDF_UINT>(jpeg.size())),
        size);
}

bool PdfDocument::addPicturePage(const Picture& picture, PageSize size) {
    if (doc_ == nullptr || picture.pixels.empty()) return false;
    const HPDF_ColorSpace space =
        picture.components == 1 ? HPDF_CS_DEVICE_GRAY : HPDF_CS_DEVICE_RGB;
    return addImagePage(HPDF_LoadRawImageFromMem(handle(doc_), picture.pixels.data(),
                                                 static_cast<HPDF_UINT>(picture.width),
                                                 static_cast<HPDF_UINT>(picture.height), space, 8),
                        size);
}

int PdfDocument::save(const std::string& path) {
    if (doc_ == nullptr) return kFileError;
    // libharu saves to a name: it writes the writer's new file, which then takes the target's
    // place (common/file_writer.h).
    lenvaro::files::AtomicFile output(path, lenvaro::files::FileAccess::Document);
    if (!output.ready()) return kFileError;
    if (HPDF_SaveToFile(handle(doc_), output.temporaryPath().c_str()) != HPDF_OK) {
        HPDF_ResetError(handle(doc_));
        return kFileError;
    }
    return output.commit() ? kOk : kFileError;
}

}  // namespace pictavo
