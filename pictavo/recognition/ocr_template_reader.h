// Template recognition: reads each named rectangle of a known form with text recognition.
#pragma once

#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pictavo/recognition/template_file.h"
#include "pictavo/recognition/template_reader.h"
#include "pictavo/recognition/text_recognizer.h"

namespace pictavo {

class OcrTemplateReader final : public TemplateReader {
  public:
    // `templatesPath` is read on first use (and again after uninit()); a file that cannot be
    // used gives no templates and one line on `diagnostics`. A null recognizer (no Tesseract
    // data) still lists the templates; recognition then answers kNotSupported.
    OcrTemplateReader(std::string templatesPath, std::shared_ptr<TextRecognizer> recognizer,
                      std::ostream& diagnostics);

    // Forgets the results and the templates; the file is read again when next needed, so an
    // edited file takes effect without a restart. The loaded languages are kept.
    int uninit() override;
    // Names in the interface's character set, cut to 1023 bytes.
    std::vector<std::string> templates() const override;
    int recognize(int templateIndex, const std::string& imagePath) override;
    // Names cut to 1023 bytes, values to 9999, in the interface's character set; a value is one
    // line.
    std::vector<TemplateField> results() const override;

  private:
    // Under mutex_.
    const std::vector<FormTemplate>& loaded() const;

    const std::string path_;
    const std::shared_ptr<TextRecognizer> recognizer_;
    std::ostream& diagnostics_;
    mutable std::mutex mutex_;
    mutable bool loaded_ = false;
    mutable std::vector<FormTemplate> templates_;
    std::vector<TemplateField> results_;
};

}  // namespace pictavo
