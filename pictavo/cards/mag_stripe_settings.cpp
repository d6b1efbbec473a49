// Reading the stripe readers' settings.
#include "pictavo/cards/mag_stripe_settings.h"

namespace pictavo {

std::vector<std::string> MagStripeSettings::defaultReaderPatterns() {
    return {"*magnetic*", "*magstripe*", "*mag stripe*", "*stripe reader*", "*swipe reader*",
            "*msr*",      "/dev/input/by-id/*magnetic*-event-kbd",
            "/dev/input/by-id/*msr*-event-kbd"};
}

std::string readMagStripeSettings(const Json::Value& section, MagStripeSettings& settings) {
    if (!section.isObject()) return "is not an object";
    MagStripeSettings read = settings;
    for (const std::string& name : section.getMemberNames()) {
        if (name != "readers" && name != "waitMs" && name != "swipeGapMs")
            return "unknown key \"" + name + "\"";
    }
    if (section.isMember("readers")) {
        const Json::Value& list = section["readers"];
        if (!list.isArray()) return "\"readers\" is not a list of texts";
        read.readers.clear();
        for (const Json::Value& item : list) {
            if (!item.isString() || item.asString().empty() || item.asString().size() > 256)
                return "\"readers\" is not a list of texts of 1 to 256 bytes";
            read.readers.push_back(item.asString());
        }
    }
    const auto number = [&](const char* key, int low, int high, int& value) -> std::string {
        if (!section.isMember(key)) return "";
        const Json::Value& member = section[key];
        if (!member.isInt() || member.asInt() < low || member.asInt() > high)
            return "\"" + std::string(key) + "\" is not a whole number from " +
                   std::to_string(low) + " to " + std::to_string(high);
        value = member.asInt();
        return "";
    };
    std::string error = number("waitMs", 0, 60000, read.waitMs);
    if (error.empty()) error = number("swipeGapMs", 50, 5000, read.swipeGapMs);
    if (!error.empty()) return error;
    settings = std::move(read);
    return "";
}

}  // namespace pictavo
