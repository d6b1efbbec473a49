// Reading the "fingerprint" section of the configuration.
#include "pictavo/biometrics/fingerprint_settings.h"

namespace pictavo {

std::string readFingerprintSettings(const Json::Value& section, FingerprintSettings& settings) {
    if (!section.isObject()) return "is not an object";
    for (const std::string& key : section.getMemberNames()) {
        const Json::Value& item = section[key];
        if (key == "simulated") {
            if (!item.isBool()) return "\"simulated\" is not true or false";
            settings.simulated = item.asBool();
        } else if (key == "touches") {
            if (!item.isArray() || item.empty()) return "\"touches\" is not a list of finger names";
            std::vector<std::string> touches;
            for (const Json::Value& touch : item) {
                if (touch.isNull()) {
                    touches.emplace_back();
                } else if (touch.isString()) {
                    touches.push_back(touch.asString());
                } else {
                    return "\"touches\" holds something other than a finger name or null";
                }
            }
            settings.touches = std::move(touches);
        } else {
            return "unknown key \"" + key + "\"";
        }
    }
    return "";
}

}  // namespace pictavo
