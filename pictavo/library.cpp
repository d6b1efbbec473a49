// Building the library's one object.
#include "pictavo/library.h"

#include <iostream>

#include "common/daily_log.h"
#include "pictavo/biometrics/pixel_face_engine.h"
#include "pictavo/imaging/document_tools.h"
#include "pictavo/recognition/locale_text.h"
#include "pictavo/recognition/recognition_engines.h"
#include "pictavo/status.h"
#include "pictavo/upload/curl_uploader.h"

namespace pictavo {

Engines createEngines(const Config& config) {
    // Each family adds its engine here, guarded by config.familyEnabled(<family>).
    Engines engines;
    // Documents and combined pictures belong to the camera family: they are made of captures.
    if (config.familyEnabled("camera")) engines.imaging = std::make_unique<DocumentTools>();
    if (config.familyEnabled("upload")) {
        engines.uploader = std::make_unique<CurlUploader>(config.uploadSettings());
    }
    if (config.familyEnabled("recognition")) addRecognitionEngines(config, engines);
    if (config.familyEnabled("biometrics")) engines.face = std::make_unique<PixelFaceEngine>();
    return engines;
}

namespace {

// A configuration that cannot be used is told where the service's own troubles go: on standard
// error and in the day's log, in its folder and line format (common/daily_log.h, linked into this
// library), so that devices missing for that reason are never a mystery.
void reportConfigProblem(const ConfigResult& loaded) {
    const std::string problem = configProblem(loaded);
    if (problem.empty()) return;
    std::cerr << problem << std::endl;
    lenvaro::DailyLog log(lenvaro::dailyLogFolder(), interfaceCodePage());
    log.writeLine(problem.c_str());
}

}  // namespace

Library& Library::instance() {
    // Never destroyed: callbacks and device threads may still be running while the process
    // exits, and must not find a destroyed object. Should construction throw, the next call
    // tries again.
    static Library* const library = [] {
        ConfigResult loaded = readConfig();
        reportConfigProblem(loaded);
        Devices devices = findDevices(loaded.config);
        Engines engines = createEngines(loaded.config);
        return new Library(std::move(loaded.config), std::move(devices), std::move(engines));
    }();
    return *library;
}

Library::Library(Config config, Devices devices, Engines engines)
    : config_(std::move(config)),
      registry_(std::move(devices)),
      face_(orNone<NoFaceEngine>(std::move(engines.face))),
      barcodes_(orNone<NoBarcodeReader>(std::move(engines.barcodes))),
      ocr_(orNone<NoOcrEngine>(std::move(engines.ocr))),
      templates_(orNone<NoTemplateReader>(std::move(engines.templates))),
      imaging_(orNone<NoImageTools>(std::move(engines.imaging))),
      uploader_(orNone<NoUploader>(std::move(engines.uploader))) {}

int Library::matchFaceOnCamera(int dev) {
    return cameras().exists(dev) ? kNotSupported : kNoDevice;
}

}  // namespace pictavo
