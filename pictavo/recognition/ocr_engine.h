// Text recognition: images are collected into a list, then recognised together into a file or a
// text.
#pragma once

#include <string>
#include <vector>

#include "pictavo/status.h"

namespace pictavo {

// Called from any thread; implementations guard their own state (the image list).
class OcrEngine {
  public:
    virtual ~OcrEngine() = default;

    // The languages it recognises; an index into this list is the `language` argument.
    virtual std::vector<std::string> languages() const = 0;
    virtual int addImage(const std::string& path) = 0;
    virtual int combineToFile(const std::string& path, int language) = 0;
    virtual int combineToText(int language, std::string& text) = 0;
};

// No OCR engine is built in: no languages, and everything else answers kNotSupported.
class NoOcrEngine final : public OcrEngine {
  public:
    std::vector<std::string> languages() const override { return {}; }
    int addImage(const std::string&) override { return kNotSupported; }
    int combineToFile(const std::string&, int) override { return kNotSupported; }
    int combineToText(int, std::string&) override { return kNotSupported; }
};

}  // namespace pictavo
