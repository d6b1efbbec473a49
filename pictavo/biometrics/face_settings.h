// The "faces" section of cfg/simulator.json: which face engine the library uses and where the
// face model lies.
#pragma once

#include <json/value.h>

#include <string>

namespace pictavo {

struct FaceSettings {
    enum class Engine {
        kAutomatic,  // the model when it is installed, else the pixels
        kModel,      // the face model (ModelFaceEngine)
        kPixels,     // pictures compared by their pixels (PixelFaceEngine)
    };
    Engine engine = Engine::kAutomatic;
    // The folder of the converted model; "" for the installed one (defaultFaceModelDirectory).
    std::string models;
};

// Reads a "faces" section into `settings` (defaults for what it leaves out); "" when the section
// is acceptable, else what is wrong with it. Relative "models" folders start at `directory`.
//   { "engine": "model" | "pixels", "models": "<folder>" }
std::string readFaceSettings(const Json::Value& section, const std::string& directory,
                             FaceSettings& settings);

// Where scripts/setup's converted model is installed beside the executable in `exeDir`:
// <exeDir>/../share/lenvaro-server/models/face (the build tree mirrors the installation).
std::string defaultFaceModelDirectory(const std::string& exeDir);

}  // namespace pictavo
