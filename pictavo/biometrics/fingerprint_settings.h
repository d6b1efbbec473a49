// The simulated fingerprint sensor as the "fingerprint" section of cfg/simulator.json describes
// it. Without the section the sensor exists with one finger ("right thumb") always on it.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

namespace pictavo {

struct FingerprintSettings {
    bool simulated = true;  // false: no simulated sensor
    // What lies on the sensor at each touch, in turn, starting again after the last: the name of
    // a finger (each name has its own ridge pattern), or "" for a touch without a finger.
    std::vector<std::string> touches{"right thumb"};
};

// Reads a "fingerprint" section into `settings` (defaults for what it leaves out); "" when the
// section is acceptable, else what is wrong with it.
//   { "simulated": true, "touches": ["right thumb", "right thumb", "left index", null] }
// null and "" in "touches" both mean no finger.
std::string readFingerprintSettings(const Json::Value& section, FingerprintSettings& settings);

}  // namespace pictavo
