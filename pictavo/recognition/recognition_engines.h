// Building the recognition engines from the configuration.
#pragma once

#include <iosfwd>
#include <string>

#include "pictavo/config.h"

namespace pictavo {

struct Engines;

// The configuration's "recognition" section, both members optional:
//   "recognition": { "tessdata": "/usr/share/tesseract-ocr/5/tessdata",
//                    "templates": "/etc/lenvaro/templates.json" }
struct RecognitionSettings {
    std::string tessdata;   // "" : TESSDATA_PREFIX, then the Debian package folders
    std::string templates;  // "" : cfg/templates.json beside the executable (or in ../cfg)
};

// A member that is not a string is reported on `diagnostics` and left at its default.
RecognitionSettings recognitionSettings(const Config& config, std::ostream& diagnostics);

// Adds the barcode engine, and the OCR and template engines when Tesseract data is found
// (without it the template engine still lists its templates).
void addRecognitionEngines(const Config& config, Engines& engines);

}  // namespace pictavo
