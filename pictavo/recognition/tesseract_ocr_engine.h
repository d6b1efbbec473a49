// Text recognition of a list of page images into a text file, a searchable PDF or a text.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pictavo/recognition/ocr_engine.h"
#include "pictavo/recognition/text_recognizer.h"

namespace pictavo {

class TesseractOcrEngine final : public OcrEngine {
  public:
    // More pages than this in one list are refused: a page takes seconds to recognise.
    static constexpr size_t kMaxListedImages = 500;

    explicit TesseractOcrEngine(std::shared_ptr<TextRecognizer> recognizer);

    std::vector<std::string> languages() const override;
    // Checks that the file is an image it can read (from its header) and appends it.
    int addImage(const std::string& path) override;
    // ".txt": the pages' text in UTF-8, pages separated by a form feed; ".pdf": a searchable
    // PDF. The list is emptied by every combine that gets past its arguments.
    int combineToFile(const std::string& path, int language) override;
    // The pages' text in the interface's character set, cut to 9999 bytes after a whole
    // character.
    int combineToText(int language, std::string& text) override;

  private:
    // The language code of index `language`; "" when there is none.
    std::string languageCode(int language) const;
    std::vector<std::string> takeList();
    // The pages' text in UTF-8.
    int recognizeAll(const std::vector<std::string>& images, const std::string& language,
                     std::string& text);

    std::shared_ptr<TextRecognizer> recognizer_;
    std::mutex mutex_;
    std::vector<std::string> images_;
};

}  // namespace pictavo
