// The recognition family's engines.
#include "pictavo/recognition/recognition_engines.h"

#include <leptonica/allheaders.h>

#include <cstdlib>
#include <iostream>
#include <memory>

#include "pictavo/library.h"
#include "pictavo/recognition/ocr_template_reader.h"
#include "pictavo/recognition/tesseract_ocr_engine.h"
#include "pictavo/recognition/text_recognizer.h"
#include "pictavo/recognition/zxing_barcode_reader.h"

namespace pictavo {

RecognitionSettings recognitionSettings(const Config& config, std::ostream& diagnostics) {
    RecognitionSettings settings;
    if (!config.document.isObject() || !config.document.isMember("recognition")) return settings;
    const Json::Value& section = config.document["recognition"];
    if (!section.isObject()) {
        diagnostics << "pictavo: \"recognition\" is not an object; using defaults\n";
        return settings;
    }
    for (const auto& [key, target] : {std::make_pair("tessdata", &settings.tessdata),
                                      std::make_pair("templates", &settings.templates)}) {
        if (!section.isMember(key)) continue;
        if (section[key].isString())
            *target = section[key].asString();
        else
            diagnostics << "pictavo: \"recognition\": \"" << key << "\" is not a text; ignored\n";
    }
    return settings;
}

void addRecognitionEngines(const Config& config, Engines& engines) {
    // Leptonica reports unreadable files on standard error; our statuses already say so.
    setMsgSeverity(L_SEVERITY_NONE);
    const RecognitionSettings settings = recognitionSettings(config, std::cerr);
    engines.barcodes = std::make_unique<ZxingBarcodeReader>();

    const std::string tessdata = findTessdata(settings.tessdata, std::getenv("TESSDATA_PREFIX"));
    std::shared_ptr<TextRecognizer> recognizer;
    if (!tessdata.empty()) {
        recognizer = std::make_shared<TextRecognizer>(tessdata);
        engines.ocr = std::make_unique<TesseractOcrEngine>(recognizer);
    }
    engines.templates = std::make_unique<OcrTemplateReader>(
        locateTemplates(settings.templates, executableDirectory()), recognizer, std::cerr);
}

}  // namespace pictavo
