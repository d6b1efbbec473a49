// PDF assembly and picture combining.
#include "pictavo/imaging/document_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <utility>

#include <opencv2/core.hpp>

#include "common/jpeg_codec.h"
#include "pictavo/file_ops.h"
#include "pictavo/imaging/bmp_codec.h"
#include "pictavo/imaging/pdf_document.h"
#include "pictavo/imaging/png_codec.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

enum class OutputFormat { kUnknown, kJpeg, kPng, kBmp, kPdf };

// The extension of the last path component, lower case; "" when it has none.
std::string extensionOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

OutputFormat outputFormatOf(const std::string& path) {
    const std::string extension = extensionOf(path);
    if (extension == "jpg" || extension == "jpeg" || extension == "jpe") return OutputFormat::kJpeg;
    if (extension == "png") return OutputFormat::kPng;
    if (extension == "bmp") return OutputFormat::kBmp;
    if (extension == "pdf") return OutputFormat::kPdf;
    return OutputFormat::kUnknown;
}

// A density for a JFIF header: whole dots per inch that fit its 16-bit fields, 0 for none.
int jfifDensity(double dpi) {
    if (dpi <= 0) return 0;
    return static_cast<int>(std::clamp(std::lround(dpi), 1L, 65535L));
}

bool encodeJpeg(const Picture& picture, int quality, std::vector<uint8_t>& out) {
    lenvaro::jpeg::EncodeOptions options;
    options.quality = quality;
    options.xDpi = jfifDensity(picture.xDpi);
    options.yDpi = jfifDensity(picture.yDpi);
    return lenvaro::jpeg::encode(picture.pixels.data(), picture.width, picture.height,
                                 picture.components, picture.rowBytes(), options, out);
}

int readAndDecode(const std::string& path, Picture& picture) {
    std::vector<uint8_t> bytes;
    const int status = readPictureFile(path, bytes);
    if (status != kOk) return status;
    return decodePicture(bytes, picture);
}

struct CombineLayout {
    int64_t width = 0;
    int64_t height = 0;
    int64_t firstX = 0;
    int64_t firstY = 0;
    int64_t secondX = 0;
    int64_t secondY = 0;
};

// Where the two pictures go. The offsets arrive as 32-bit values and the sides are bounded, so
// 64-bit arithmetic cannot overflow.
int layoutCombined(int type, const Picture& first, const Picture& second, int64_t offsetX,
                   int64_t offsetY, CombineLayout& layout) {
    int64_t secondX = offsetX;
    int64_t secondY = offsetY;
    switch (type) {
        case kSideBySide:
            secondX += first.width;
            break;
        case kStacked:
            secondY += first.height;
            break;
        case kOverlay:
            // The first picture is the canvas; what of the second falls outside is cut off.
            layout = CombineLayout{first.width, first.height, 0, 0, secondX, secondY};
            return kOk;
        default:
            return kInvalidArgument;
    }
    // The canvas holds both pictures; everything moves so that its top-left corner is 0, 0.
    const int64_t left = std::min<int64_t>(0, secondX);
    const int64_t top = std::min<int64_t>(0, secondY);
    const int64_t right = std::max<int64_t>(first.width, secondX + second.width);
    const int64_t bottom = std::max<int64_t>(first.height, secondY + second.height);
    layout = CombineLayout{right - left, bottom - top, -left, -top, secondX - left, secondY - top};
    if (layout.width > kMaxCombinedSide || layout.height > kMaxCombinedSide ||
        static_cast<uint64_t>(layout.width) * static_cast<uint64_t>(layout.height) >
            kMaxCombinedPixels) {
        return kInvalidArgument;
    }
    return kOk;
}

// Copies `source` (R, G, B) onto `canvas` with its top-left corner at x, y, cutting off what
// falls outside.
void drawOnto(Picture& canvas, const Picture& source, int64_t x, int64_t y) {
    const int64_t fromX = std::max<int64_t>(0, -x);
    const int64_t fromY = std::max<int64_t>(0, -y);
    const int64_t toX = std::min<int64_t>(source.width, canvas.width - x);
    const int64_t toY = std::min<int64_t>(source.height, canvas.height - y);
    if (fromX >= toX || fromY >= toY) return;
    const cv::Mat from(source.height, source.width, CV_8UC3,
                       const_cast<uint8_t*>(source.pixels.data()));
    cv::Mat onto(canvas.height, canvas.width, CV_8UC3, canvas.pixels.data());
    const cv::Rect part(static_cast<int>(fromX), static_cast<int>(fromY),
                        static_cast<int>(toX - fromX), static_cast<int>(toY - fromY));
    from(part).copyTo(onto(part + cv::Point(static_cast<int>(x), static_cast<int>(y))));
}

int writeCombined(const Picture& picture, OutputFormat format, const std::string& path) {
    std::vector<uint8_t> bytes;
    switch (format) {
        case OutputFormat::kJpeg:
            if (!encodeJpeg(picture, kCombinedJpegQuality, bytes)) return kFailed;
            break;
        case OutputFormat::kPng:
            if (!encodePng(picture, bytes)) return kFailed;
            break;
        case OutputFormat::kBmp:
            bytes = encodeBmp(picture);
            break;
        case OutputFormat::kPdf: {
            PdfDocument pdf;
            if (!encodeJpeg(picture, kCombinedJpegQuality, bytes) || !pdf.ready() ||
                !pdf.addJpegPage(bytes, pageSizeFor(picture.width, picture.height, picture.xDpi,
                                                    picture.yDpi))) {
                return kFailed;
            }
            return pdf.save(path);
        }
        case OutputFormat::kUnknown:
            return kInvalidArgument;
    }
    return writeDocumentFile(path, bytes);
}

}  // namespace

int DocumentTools::addToPdfList(const std::string& path) {
    if (path.empty()) return kInvalidArgument;
    ListedPicture listed;
    int status = readPictureFile(path, listed.bytes);
    if (status != kOk) return status;
    status = inspectPicture(listed.bytes, listed.info);
    if (status != kOk) return status;

    std::lock_guard<std::mutex> lock(listMutex_);
    if (pdfList_.size() >= kMaxPdfPages || pdfListBytes_ + listed.bytes.size() > kMaxPdfListBytes) {
        return kFailed;
    }
    pdfListBytes_ += listed.bytes.size();
    pdfList_.push_back(std::move(listed));
    return kOk;
}

int DocumentTools::combinePdf(const std::string& pdfPath, int jpegQuality) {
    if (pdfPath.empty()) return kInvalidArgument;
    // Take the list: pictures added while this document is written belong to the next one.
    std::vector<ListedPicture> pages;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        pages.swap(pdfList_);
        pdfListBytes_ = 0;
    }
    if (pages.empty()) return kInvalidArgument;

    // A quality from 1 to 100 makes every page a JPEG of that quality; any other value keeps
    // each picture as it is: JPEG data unchanged, PNG and BMP pixels without loss.
    const bool reencode = jpegQuality >= 1 && jpegQuality <= 100;
    PdfDocument pdf;
    if (!pdf.ready()) return kFailed;
    for (ListedPicture& page : pages) {
        const PageSize size =
            pageSizeFor(page.info.width, page.info.height, page.info.xDpi, page.info.yDpi);
        bool added = false;
        if (!reencode && page.info.format == ImageFormat::kJpeg) {
            added = pdf.addJpegPage(page.bytes, size);
        } else {
            Picture picture;
            const int status = decodePicture(page.bytes, picture);
            if (status != kOk) return status;
            if (reencode) {
                std::vector<uint8_t> jpeg;
                if (!encodeJpeg(picture, jpegQuality, jpeg)) return kFailed;
                added = pdf.addJpegPage(jpeg, size);
            } else {
                added = pdf.addPicturePage(picture, size);
            }
        }
        if (!added) return kFileError;
        // libharu holds its own copy now.
        std::vector<uint8_t>().swap(page.bytes);
    }
    return pdf.save(pdfPath);
}

int DocumentTools::combineImages(const CombineRequest& request) {
    if (request.firstPath.empty() || request.secondPath.empty() || request.outPath.empty()) {
        return kInvalidArgument;
    }
    if (request.type != kSideBySide && request.type != kStacked && request.type != kOverlay) {
        return kInvalidArgument;
    }
    const OutputFormat format = outputFormatOf(request.outPath);
    if (format == OutputFormat::kUnknown) return kInvalidArgument;

    Picture first;
    Picture second;
    int status = readAndDecode(request.firstPath, first);
    if (status != kOk) return status;
    status = readAndDecode(request.secondPath, second);
    if (status != kOk) return status;
    expandToRgb(first);
    expandToRgb(second);

    CombineLayout layout;
    status = layoutCombined(request.type, first, second, request.offsetX, request.offsetY, layout);
    if (status != kOk) return status;

    // What neither picture covers is white, like paper.
    Picture canvas;
    canvas.width = static_cast<int>(layout.width);
    canvas.height = static_cast<int>(layout.height);
    canvas.components = 3;
    canvas.xDpi = first.xDpi;
    canvas.yDpi = first.yDpi;
    canvas.pixels.assign(canvas.rowBytes() * static_cast<size_t>(canvas.height), 0xFF);
    drawOnto(canvas, first, layout.firstX, layout.firstY);
    drawOnto(canvas, second, layout.secondX, layout.secondY);
    return writeCombined(canvas, format, request.outPath);
}

int DocumentTools::show(const std::string& path) {
    if (path.empty()) return kInvalidArgument;
    // The argument is checked as if the picture were to be shown, so a page learns of a wrong
    // path before it learns that nothing can be shown here.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return kFileError;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular ? kNotSupported : kFileError;
}

}  // namespace pictavo
