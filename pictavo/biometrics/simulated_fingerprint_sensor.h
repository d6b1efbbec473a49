// A fingerprint sensor without hardware: the configured fingers touch it in turn, each giving a
// synthetic scan, and the matching algorithm works on those scans as on real ones.
#pragma once

#include <mutex>

#include "pictavo/biometrics/fingerprint_sensor.h"
#include "pictavo/biometrics/fingerprint_settings.h"

namespace pictavo {

class SimulatedFingerprintSensor final : public FingerprintSensor {
  public:
    explicit SimulatedFingerprintSensor(FingerprintSettings settings);

    int init() override;
    int uninit() override;
    // kFailed while the sensor is closed or when the touch brings no finger (the touch still
    // counts); otherwise the image buffer receives the scan as an 8-bit grey bitmap file and the
    // raw buffer the scan the feature is made from.
    int captureImage(uint8_t* image, uint8_t* raw) override;
    // Needs no open sensor: features can be made and compared at any time.
    int extractFeature(const uint8_t* raw, uint8_t* feature) override;
    int compare(const uint8_t* feature1, const uint8_t* feature2) override;

  private:
    const FingerprintSettings settings_;
    std::mutex mutex_;  // guards open_ and nextTouch_
    bool open_ = false;
    uint32_t nextTouch_ = 0;
};

}  // namespace pictavo
