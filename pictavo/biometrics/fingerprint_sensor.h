// The fingerprint sensor and the matching algorithm that comes with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pictavo/status.h"

namespace pictavo {

inline constexpr size_t kFingerprintImageBytes = 262144;  // image and raw buffers
inline constexpr size_t kFingerprintFeatureBytes = 1024;

// Called from any thread; implementations guard their own state. The buffers are the caller's,
// of the sizes above.
class FingerprintSensor {
  public:
    virtual ~FingerprintSensor() = default;

    virtual int init() = 0;
    virtual int uninit() = 0;
    // Takes a finger: a displayable image and the raw scan the features are made from.
    virtual int captureImage(uint8_t* image, uint8_t* raw) = 0;
    virtual int extractFeature(const uint8_t* raw, uint8_t* feature) = 0;
    virtual int compare(const uint8_t* feature1, const uint8_t* feature2) = 0;
};

// No sensor attached. Feature extraction and comparison belong to the sensor's algorithm, so
// they answer kNoDevice as well.
class NoFingerprintSensor final : public FingerprintSensor {
  public:
    int init() override { return kOk; }
    int uninit() override { return kOk; }
    int captureImage(uint8_t*, uint8_t*) override { return kNoDevice; }
    int extractFeature(const uint8_t*, uint8_t*) override { return kNoDevice; }
    int compare(const uint8_t*, const uint8_t*) override { return kNoDevice; }
};

}  // namespace pictavo
