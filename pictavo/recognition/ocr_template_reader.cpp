// Recognising the fields of a known form.
#include "pictavo/recognition/ocr_template_reader.h"

#include <ostream>

#include "pictavo/recognition/image_file.h"
#include "pictavo/recognition/locale_text.h"
#include "pictavo/status.h"

namespace pictavo {
namespace {

constexpr size_t kNameBytes = 1023;
constexpr size_t kValueBytes = 9999;

}  // namespace

OcrTemplateReader::OcrTemplateReader(std::string templatesPath,
                                     std::shared_ptr<TextRecognizer> recognizer,
                                     std::ostream& diagnostics)
    : path_(std::move(templatesPath)),
      recognizer_(std::move(recognizer)),
      diagnostics_(diagnostics) {}

const std::vector<FormTemplate>& OcrTemplateReader::loaded() const {
    if (!loaded_) {
        const std::string error = loadTemplates(path_, templates_);
        if (!error.empty()) diagnostics_ << "pictavo: ignoring " << path_ << " (" << error << ")\n";
        loaded_ = true;
    }
    return templates_;
}

int OcrTemplateReader::uninit() {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.clear();
    templates_.clear();
    loaded_ = false;
    return kOk;
}

std::vector<std::string> OcrTemplateReader::templates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const FormTemplate& form : loaded())
        names.push_back(toInterfaceText(form.name, kNameBytes));
    return names;
}

int OcrTemplateReader::recognize(int templateIndex, const std::string& imagePath) {
    FormTemplate form;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A failed recognition leaves no results of an earlier one to be fetched.
        results_.clear();
        const std::vector<FormTemplate>& all = loaded();
        if (templateIndex < 0 || static_cast<size_t>(templateIndex) >= all.size())
            return kInvalidArgument;
        form = all[static_cast<size_t>(templateIndex)];
    }
    if (!recognizer_ || !recognizer_->hasLanguage(form.language)) return kNotSupported;
    PixPtr image;
    int status = readImage(imagePath, image);
    if (status != kOk) return status;

    const std::vector<TemplateFieldArea> areas =
        scaledFields(form, pixelWidth(image.get()), pixelHeight(image.get()));
    std::vector<Area> rectangles;
    for (const TemplateFieldArea& field : areas) rectangles.push_back(field.area);
    std::vector<std::string> values;
    status = recognizer_->readAreas(image.get(), form.language, rectangles, values);
    if (status != kOk) return status;
    std::vector<TemplateField> fields;
    for (size_t i = 0; i < areas.size(); ++i) {
        fields.push_back(
            {toInterfaceText(areas[i].name, kNameBytes), toInterfaceText(values[i], kValueBytes)});
    }
    std::lock_guard<std::mutex> lock(mutex_);
    results_ = std::move(fields);
    return kOk;
}

std::vector<TemplateField> OcrTemplateReader::results() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_;
}

}  // namespace pictavo
