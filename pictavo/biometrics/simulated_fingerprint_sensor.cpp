// The simulated fingerprint sensor.
#include "pictavo/biometrics/simulated_fingerprint_sensor.h"

#include <cstring>
#include <string>
#include <vector>

#include "pictavo/biometrics/fingerprint_template.h"
#include "pictavo/biometrics/synthetic_fingerprint.h"

namespace pictavo {

SimulatedFingerprintSensor::SimulatedFingerprintSensor(FingerprintSettings settings)
    : settings_(std::move(settings)) {}

int SimulatedFingerprintSensor::init() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    return kOk;
}

int SimulatedFingerprintSensor::uninit() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    return kOk;
}

int SimulatedFingerprintSensor::captureImage(uint8_t* image, uint8_t* raw) {
    std::string finger;
    uint32_t touch = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_ || settings_.touches.empty()) return kFailed;
        touch = nextTouch_++;
        finger = settings_.touches[touch % settings_.touches.size()];
    }
    if (finger.empty()) return kFailed;  // nothing on the sensor

    // The touch number, counted over all touches, lays every touch of a finger a little
    // differently, also when the list names one finger twice in a row.
    const GreyImage scan = renderFingerprint(finger, touch);
    const std::vector<uint8_t> bitmap = encodeGreyBmp(scan, kFingerprintScanDpi);
    if (bitmap.size() > kFingerprintImageBytes) return kFailed;
    std::vector<uint8_t> rawScan(kFingerprintImageBytes, 0);
    const int status = writeRawScan(scan, rawScan.data(), rawScan.size());
    if (status != kOk) return status;
    // Whole buffers: the bitmap followed by zeros, as a sensor fills its frame.
    std::memset(image, 0, kFingerprintImageBytes);
    std::memcpy(image, bitmap.data(), bitmap.size());
    std::memcpy(raw, rawScan.data(), rawScan.size());
    return kOk;
}

int SimulatedFingerprintSensor::extractFeature(const uint8_t* raw, uint8_t* feature) {
    GreyImage scan;
    const int status = readRawScan(raw, kFingerprintImageBytes, scan);
    if (status != kOk) return status;
    uint8_t made[kFingerprintFeatureBytes] = {};
    const int extracted = extractFingerprintFeature(scan, made);
    if (extracted != kOk) return extracted;
    std::memcpy(feature, made, sizeof made);
    return kOk;
}

int SimulatedFingerprintSensor::compare(const uint8_t* feature1, const uint8_t* feature2) {
    return compareFingerprintFeatures(feature1, feature2);
}

}  // namespace pictavo
