// Where the magnetic stripe readers are looked for and how long a read waits: the "magStripe"
// part of the "cards" section of cfg/simulator.json.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

namespace pictavo {

struct MagStripeSettings {
    // Which input devices are stripe readers: patterns (`*`, `?`, `[...]`, case ignored) matched
    // against a device's name ("*Magnetic*"), or, for those starting with /dev/input/by-id/,
    // against the device's links there. Empty: no reader is looked for.
    std::vector<std::string> readers = defaultReaderPatterns();
    // How long a read waits for a swipe when none is waiting.
    int waitMs = 5000;
    // A swipe has ended once its reader has typed nothing for this long.
    int swipeGapMs = 300;

    static std::vector<std::string> defaultReaderPatterns();
};

// Reads the "magStripe" part of the "cards" section over `settings`; "" or what is wrong
// (naming keys, never values).
std::string readMagStripeSettings(const Json::Value& section, MagStripeSettings& settings);

}  // namespace pictavo
