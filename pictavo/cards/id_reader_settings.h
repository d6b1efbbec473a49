// Where the real ID card readers are looked for and how the holder's photo is decoded: the
// "idReader" part of the "cards" section of cfg/simulator.json.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

namespace pictavo {

// The reader maker's photo decoder: a shared library exporting
// `int unpack(char* encoded, char* pixels, int key)`, 1 on success, 102 x 126 pixels of three
// bytes (B, G, R) out, top row first (bottom row first when `bottomUp`).
struct PhotoDecoderSettings {
    std::string library;  // "": no decoder, the photo is not decoded
    int key = 0;          // the maker's licence key, passed on as it stands
    bool bottomUp = false;
};

struct IdReaderSettings {
    // Serial ports with a security module on them: paths or glob patterns ("/dev/ttyUSB*").
    // Empty by default: asking unknown serial devices what they are can upset them.
    std::vector<std::string> serialPorts;
    // USB modules (0400:c35a).
    bool usb = true;
    PhotoDecoderSettings photoDecoder;
};

// Reads the "idReader" part over `settings`; a relative decoder path is taken from
// `baseDirectory` (the configuration file's). "" or what is wrong (naming keys, never values).
std::string readIdReaderSettings(const Json::Value& section, const std::string& baseDirectory,
                                 IdReaderSettings& settings);

}  // namespace pictavo
