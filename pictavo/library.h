// The library's one object: its configuration, the device registry and the engines. The C entry
// points reach everything through Library::instance().
#pragma once

#include <memory>

#include "pictavo/biometrics/face_engine.h"
#include "pictavo/config.h"
#include "pictavo/imaging/image_tools.h"
#include "pictavo/recognition/barcode_reader.h"
#include "pictavo/recognition/ocr_engine.h"
#include "pictavo/recognition/template_reader.h"
#include "pictavo/registry.h"
#include "pictavo/upload/uploader.h"

namespace pictavo {

// The software parts that need no device; a null pointer means "not built in".
struct Engines {
    std::unique_ptr<FaceEngine> face;
    std::unique_ptr<BarcodeReader> barcodes;
    std::unique_ptr<OcrEngine> ocr;
    std::unique_ptr<TemplateReader> templates;
    std::unique_ptr<ImageTools> imaging;
    std::unique_ptr<Uploader> uploader;
};

// The engines of every family the configuration enables.
Engines createEngines(const Config& config);
// The face engine the "faces" section asks for: the face model when it is installed (or asked
// for), else the pixel engine.
std::unique_ptr<FaceEngine> createFaceEngine(const Config& config);

// Thread-safe: fixed after construction, and every part it hands out guards its own state.
class Library {
  public:
    // Created on first use from readConfig(), findDevices() and createEngines(); never destroyed.
    static Library& instance();

    // Missing engines get their "not built in" implementation.
    Library(Config config, Devices devices, Engines engines);
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    const Config& config() const { return config_; }
    Registry& devices() { return registry_; }
    CameraFamily& cameras() { return registry_.cameras(); }

    FaceEngine& face() { return *face_; }
    BarcodeReader& barcodes() { return *barcodes_; }
    OcrEngine& ocr() { return *ocr_; }
    TemplateReader& templates() { return *templates_; }
    ImageTools& imaging() { return *imaging_; }
    Uploader& uploader() { return *uploader_; }

    // Matching a face against live frames needs camera `dev`, the capture pipeline and a face
    // engine; only the camera can exist yet.
    int matchFaceOnCamera(int dev);

  private:
    const Config config_;
    Registry registry_;
    std::unique_ptr<FaceEngine> face_;
    std::unique_ptr<BarcodeReader> barcodes_;
    std::unique_ptr<OcrEngine> ocr_;
    std::unique_ptr<TemplateReader> templates_;
    std::unique_ptr<ImageTools> imaging_;
    std::unique_ptr<Uploader> uploader_;
};

}  // namespace pictavo
