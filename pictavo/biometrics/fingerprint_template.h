// The simulated sensor's matching algorithm: the raw scan it hands out, the feature made from a
// scan (the direction, spacing and position of the ridges in every block of the print), and the
// comparison of two features as a score from 0 to 100.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pictavo/biometrics/synthetic_fingerprint.h"

namespace pictavo {

// A feature fills the first kFeatureUsedBytes of its 1024-byte buffer; the rest is zero. It
// stays within the 768 bytes a Base64 feature text of 1024 characters carries.
inline constexpr size_t kFeatureUsedBytes = 720;

// The raw scan: "PVRS", width and height (16 bits each, little-endian), then the grey pixels,
// rows top to bottom. kInvalidArgument when the scan does not fit `capacity` bytes.
int writeRawScan(const GreyImage& scan, uint8_t* raw, size_t capacity);
// kInvalidArgument when `raw` holds no scan of this sensor.
int readRawScan(const uint8_t* raw, size_t capacity, GreyImage& scan);

// Writes the feature into `feature` (kFeatureUsedBytes; the caller's buffer is 1024 bytes and
// the rest is left zero). kFailed when the scan shows too little of a finger to match.
int extractFingerprintFeature(const GreyImage& scan, uint8_t* feature);

// 0 (different fingers) to 100 (the same touch); two touches of one finger score 80 or more.
// kInvalidArgument when either buffer holds no feature of this sensor.
int compareFingerprintFeatures(const uint8_t* feature1, const uint8_t* feature2);

}  // namespace pictavo
