// Template recognition: reads the named fields a template describes out of a document image.
#pragma once

#include <string>
#include <vector>

#include "pictavo/status.h"

namespace pictavo {

struct TemplateField {
    std::string name;
    std::string value;
};

// Called from any thread; implementations guard their own state (the last results).
class TemplateReader {
  public:
    virtual ~TemplateReader() = default;

    virtual int uninit() = 0;
    virtual std::vector<std::string> templates() const = 0;
    // Reads the image with template `templateIndex`; the fields become results().
    virtual int recognize(int templateIndex, const std::string& imagePath) = 0;
    virtual std::vector<TemplateField> results() const = 0;
};

// No template engine is built in: no templates, no results, recognition answers kNotSupported.
class NoTemplateReader final : public TemplateReader {
  public:
    int uninit() override { return kOk; }
    std::vector<std::string> templates() const override { return {}; }
    int recognize(int, const std::string&) override { return kNotSupported; }
    std::vector<TemplateField> results() const override { return {}; }
};

}  // namespace pictavo
