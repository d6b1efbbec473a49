// The device registry: which devices this computer has, family by family, and the callbacks the
// service registered for them.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "pictavo.h"
#include "pictavo/biometrics/fingerprint_sensor.h"
#include "pictavo/camera/camera.h"
#include "pictavo/camera/camera_family.h"
#include "pictavo/cards/card_reader.h"
#include "pictavo/cards/ic_card.h"
#include "pictavo/config.h"
#include "pictavo/signpad/sign_pad.h"

namespace pictavo {

// `part` itself, or the `None` implementation standing in for it when it is null.
template <typename None, typename Interface>
std::unique_ptr<Interface> orNone(std::unique_ptr<Interface> part) {
    if (part) return part;
    return std::make_unique<None>();
}

// What was found; a null pointer (or no camera) means that family has no device attached.
struct Devices {
    std::vector<std::unique_ptr<Camera>> cameras;
    // Cameras that come and go (V4L2), listed before `cameras`; null when none are looked for.
    std::unique_ptr<CameraScanner> cameraScanner;
    int previewWidth = kDefaultPreviewWidth;  // what the cameras decode JPEG frames for
    std::unique_ptr<CardReader> cardReader;
    std::unique_ptr<IcCardReader> icCardReader;
    std::unique_ptr<FingerprintSensor> fingerprintSensor;
    std::unique_ptr<SignPad> signPad;
};

// Looks for the devices of every family the configuration enables.
Devices findDevices(const Config& config);

// Fixed after construction; the families it hands out are thread-safe.
class Registry {
  public:
    // Families without a device get their "no device attached" implementation.
    explicit Registry(Devices devices);
    // Stops the devices' own threads while everything they may call back into still exists.
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    CameraFamily& cameras() { return cameras_; }
    CardReader& cardReader() { return *cardReader_; }
    IcCardReader& icCardReader() { return *icCardReader_; }
    FingerprintSensor& fingerprintSensor() { return *fingerprintSensor_; }
    SignPad& signPad() { return *signPad_; }

    // kNoDevice without a pad; a null callback unregisters.
    int setSignSavedCallback(SignSavedCallback* callback);
    // For the pad: calls the registered callback; false when there is none.
    bool deliverSignSaved(bool saved);

  private:
    CameraFamily cameras_;
    std::unique_ptr<CardReader> cardReader_;
    std::unique_ptr<IcCardReader> icCardReader_;
    std::unique_ptr<FingerprintSensor> fingerprintSensor_;
    bool signPadAttached_;  // set before signPad_ takes the device over
    std::unique_ptr<SignPad> signPad_;
    std::atomic<SignSavedCallback*> signSaved_{nullptr};
};

}  // namespace pictavo
