// The built-in ImageTools: PDF documents of captured pages, two pictures combined into one, and
// the answers for showing pictures on a computer without a display.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pictavo/imaging/image_tools.h"
#include "pictavo/imaging/picture.h"

namespace pictavo {

// Limits of the PDF list, so that a page that keeps adding cannot exhaust memory.
inline constexpr size_t kMaxPdfPages = 2000;
inline constexpr uint64_t kMaxPdfListBytes = 1024ull * 1024 * 1024;
// Combined pictures: each side within what a JPEG can carry, and a bounded number of pixels.
inline constexpr int64_t kMaxCombinedSide = 65500;
inline constexpr uint64_t kMaxCombinedPixels = 100ull * 1000 * 1000;
// The JPEG quality of combined pictures written as JPEG or as a one-page PDF.
inline constexpr int kCombinedJpegQuality = 90;

// The layouts of combineImages(); the offsets move the second picture from where the layout
// puts it.
enum CombineType : int {
    kSideBySide = 0,  // the second to the right of the first, tops aligned
    kStacked = 1,     // the second below the first, left edges aligned
    kOverlay = 2,     // the second drawn onto the first, top-left corners together
};

// Thread-safe: the PDF list is the only state, and it is guarded.
class DocumentTools final : public ImageTools {
  public:
    // Reads the picture now, so the page shows the file as it was when added even if the same
    // path is captured to again before combining.
    int addToPdfList(const std::string& path) override;
    // One page per listed picture, in the order added. The list is emptied by every combine,
    // whether or not the document could be written.
    int combinePdf(const std::string& pdfPath, int jpegQuality) override;
    int combineImages(const CombineRequest& request) override;
    // No display: kFileError for a missing file, else kNotSupported.
    int show(const std::string& path) override;

  private:
    struct ListedPicture {
        std::vector<uint8_t> bytes;
        PictureInfo info;
    };

    std::mutex listMutex_;
    std::vector<ListedPicture> pdfList_;
    uint64_t pdfListBytes_ = 0;
};

}  // namespace pictavo
