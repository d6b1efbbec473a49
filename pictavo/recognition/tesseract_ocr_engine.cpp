// The OCR list and its combination into files and texts.
#include "pictavo/recognition/tesseract_ocr_engine.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/file_writer.h"
#include "pictavo/recognition/image_file.h"
#include "pictavo/recognition/locale_text.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr size_t kTextBytes = 9999;
constexpr char kPageSeparator = '\f';

enum class OutputKind { kNone, kText, kPdf };

OutputKind outputKind(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return OutputKind::kNone;
    const char* extension = path.c_str() + dot;
    if (strcasecmp(extension, ".txt") == 0) return OutputKind::kText;
    if (strcasecmp(extension, ".pdf") == 0) return OutputKind::kPdf;
    return OutputKind::kNone;
}

// A recognised text is an ordinary document: written whole or not at all, with the user's
// umask (common/file_writer.h).
int writeWholeFile(const std::string& path, const std::string& content) {
    return lenvaro::files::writeFileAtomically(path, content.data(), content.size(),
                                               lenvaro::files::FileAccess::Document)
               ? kOk
               : kFileError;
}

}  // namespace

TesseractOcrEngine::TesseractOcrEngine(std::shared_ptr<TextRecognizer> recognizer)
    : recognizer_(std::move(recognizer)) {}

std::vector<std::string> TesseractOcrEngine::languages() const { return recognizer_->languages(); }

std::string TesseractOcrEngine::languageCode(int language) const {
    const std::vector<std::string>& all = recognizer_->languages();
    if (language < 0 || static_cast<size_t>(language) >= all.size()) return "";
    return all[static_cast<size_t>(language)];
}

int TesseractOcrEngine::addImage(const std::string& path) {
    const int status = probeImage(path);
    if (status != kOk) return status;
    std::lock_guard<std::mutex> lock(mutex_);
    if (images_.size() >= kMaxListedImages) return kFailed;
    images_.push_back(path);
    return kOk;
}

std::vector<std::string> TesseractOcrEngine::takeList() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(images_);
    return taken;
}

int TesseractOcrEngine::recognizeAll(const std::vector<std::string>& images,
                                     const std::string& language, std::string& text) {
    text.clear();
    for (size_t page = 0; page < images.size(); ++page) {
        PixPtr image;
        int status = readImage(images[page], image);
        if (status != kOk) return status;
        std::string pageText;
        status = recognizer_->readPage(image.get(), language, pageText);
        if (status != kOk) return status;
        if (page > 0) text += kPageSeparator;
        text += pageText;
    }
    return kOk;
}

int TesseractOcrEngine::combineToFile(const std::string& path, int language) {
    const std::string code = languageCode(language);
    if (code.empty()) return kInvalidArgument;
    const OutputKind kind = outputKind(path);
    if (kind == OutputKind::kNone) return kInvalidArgument;
    const std::vector<std::string> images = takeList();
    if (images.empty()) return kFailed;
    if (kind == OutputKind::kPdf) return recognizer_->writeSearchablePdf(images, code, path);
    std::string text;
    const int status = recognizeAll(images, code, text);
    if (status != kOk) return status;
    if (!text.empty()) text += '\n';
    return writeWholeFile(path, text);
}

int TesseractOcrEngine::combineToText(int language, std::string& text) {
    text.clear();
    const std::string code = languageCode(language);
    if (code.empty()) return kInvalidArgument;
    const std::vector<std::string> images = takeList();
    if (images.empty()) return kFailed;
    std::string utf8;
    const int status = recognizeAll(images, code, utf8);
    if (status != kOk) return status;
    text = toInterfaceText(utf8, kTextBytes);
    return kOk;
}

}  // namespace pictavo
