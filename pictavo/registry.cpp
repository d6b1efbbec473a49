// Finding devices and holding them.
#include "pictavo/registry.h"

#include "pictavo/status.h"

namespace pictavo {

Devices findDevices(const Config& config) {
    // No family can find a device yet. Each family adds its finder here, guarded by
    // config.familyEnabled(<family>): real devices first (V4L2 cameras, ...), then the simulated
    // ones the configuration describes.
    static_cast<void>(config);
    return Devices{};
}

Registry::Registry(Devices devices)
    : cameras_(std::move(devices.cameras)),
      cardReader_(orNone<NoCardReader>(std::move(devices.cardReader))),
      icCardReader_(orNone<NoIcCardReader>(std::move(devices.icCardReader))),
      fingerprintSensor_(orNone<NoFingerprintSensor>(std::move(devices.fingerprintSensor))),
      signPadAttached_(devices.signPad != nullptr),
      signPad_(orNone<NoSignPad>(std::move(devices.signPad))) {}

int Registry::setSignSavedCallback(SignSavedCallback* callback) {
    if (!signPadAttached_) return kNoDevice;
    signSaved_.store(callback);
    return kOk;
}

bool Registry::deliverSignSaved(bool saved) {
    SignSavedCallback* callback = signSaved_.load();
    if (callback == nullptr) return false;
    callback(saved);
    return true;
}

}  // namespace pictavo
