// Building the library's one object.
#include "pictavo/library.h"

#include <iostream>

#include "pictavo/biometrics/face_settings.h"
#include "pictavo/biometrics/model_face_engine.h"
#include "pictavo/biometrics/pixel_face_engine.h"
#include "pictavo/imaging/document_tools.h"
#include "pictavo/problem_log.h"
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
    if (config.familyEnabled("biometrics")) engines.face = createFaceEngine(config);
    return engines;
}

namespace {

// Said on standard error at every camInitFace; a face engine that does not compare faces, or
// cannot, also goes to the day's log.
void announceFaceEngine(const std::string& line, bool problem) {
    if (problem) {
        reportProblem("pictavo: " + line);
    } else {
        std::cerr << "pictavo: " << line << std::endl;
    }
}

}  // namespace

std::unique_ptr<FaceEngine> createFaceEngine(const Config& config) {
    FaceSettings settings;
    if (config.document.isObject() && config.document.isMember("faces") &&
        !readFaceSettings(config.document["faces"], config.directory, settings).empty()) {
        settings = FaceSettings{};
    }
    const std::string models =
        settings.models.empty() ? defaultFaceModelDirectory(executableDirectory()) : settings.models;
    using Engine = FaceSettings::Engine;
    if (settings.engine == Engine::kModel ||
        (settings.engine == Engine::kAutomatic && FaceModel::installedIn(models))) {
        return std::make_unique<ModelFaceEngine>(models, latestCameraFrame, announceFaceEngine);
    }
    const std::string line =
        settings.engine == Engine::kPixels
            ? "face engine: pictures compared by their pixels, as configured (not faces)"
            : "face engine: pictures compared by their pixels, not faces: no face model in " +
                  models + " (scripts/setup installs it)";
    return std::make_unique<PixelFaceEngine>(latestCameraFrame, [line] {
        announceFaceEngine(line, true);
    });
}

namespace {

// A configuration that cannot be used is told where the service's own troubles go, so that
// devices missing for that reason are never a mystery.
void reportConfigProblem(const ConfigResult& loaded) {
    const std::string problem = configProblem(loaded);
    if (!problem.empty()) reportProblem(problem);
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
