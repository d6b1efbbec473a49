// Reading the "faces" section of the configuration.
#include "pictavo/biometrics/face_settings.h"

namespace pictavo {

std::string readFaceSettings(const Json::Value& section, const std::string& directory,
                             FaceSettings& settings) {
    if (!section.isObject()) return "is not an object";
    for (const std::string& key : section.getMemberNames()) {
        const Json::Value& item = section[key];
        if (key == "engine") {
            const std::string engine = item.isString() ? item.asString() : "";
            if (engine == "model") {
                settings.engine = FaceSettings::Engine::kModel;
            } else if (engine == "pixels") {
                settings.engine = FaceSettings::Engine::kPixels;
            } else {
                return "\"engine\" is neither \"model\" nor \"pixels\"";
            }
        } else if (key == "models") {
            if (!item.isString() || item.asString().empty()) return "\"models\" is not a folder";
            settings.models = item.asString();
            if (settings.models[0] != '/' && !directory.empty()) {
                settings.models = directory + "/" + settings.models;
            }
        } else {
            return "unknown key \"" + key + "\"";
        }
    }
    return "";
}

std::string defaultFaceModelDirectory(const std::string& exeDir) {
    return exeDir.empty() ? "" : exeDir + "/../share/lenvaro-server/models/face";
}

}  // namespace pictavo
