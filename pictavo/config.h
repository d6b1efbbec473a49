// The library's configuration: one optional JSON file, read once when the library is first used.
#pragma once

#include <json/value.h>

#include <iosfwd>
#include <string>
#include <vector>

#include "pictavo/camera/camera.h"

namespace pictavo {

// The device and engine families a configuration can switch off under "families".
inline constexpr const char* kFamilyNames[] = {"camera",      "cards",   "biometrics",
                                               "recognition", "signpad", "upload"};

// One simulated camera under "cameras" in cfg/simulator.json.
struct SimulatedCameraSettings {
    bool enabled = true;
    // The sizes of its first media type, largest first; empty: the camera's own list.
    std::vector<Resolution> sizes;
    // JPEG files shown instead of the synthetic page (resolved against the file's directory).
    std::vector<std::string> images;
};

// The "cameras" section: the simulated cameras and how they behave.
struct CameraSettings {
    bool simulated = true;     // false: no simulated camera at all
    bool real = true;          // false: no real (V4L2) camera is looked for
    int frameRate = 15;        // frames per second, 1 .. 60
    int pageTurnSeconds = 4;   // seconds between page turns while auto capture runs, 1 .. 3600
    // The preview width JPEG frames are decoded for when only the live preview needs them,
    // 0 .. 16384; 0: full size (camera/frame_decoding.h).
    int previewWidth = 640;
    SimulatedCameraSettings document;  // the document camera (index 0 among the simulated)
    SimulatedCameraSettings second;    // the small second camera
};

// Reads a "cameras" section into `settings` (defaults for what it leaves out); returns "" when
// the section is acceptable, else what is wrong with it. Relative image paths are resolved
// against `directory`.
std::string readCameraSettings(const Json::Value& section, const std::string& directory,
                               CameraSettings& settings);

// The "signpad" section: the simulated signature pad and its simulated signer.
struct SignPadSettings {
    bool simulated = true;        // false: no simulated pad
    int strokeAfterMs = 1000;     // once writing starts, the signer finishes a stroke, 0 .. 600000
    bool saveAfterStroke = true;  // and the pad then saves the signature by itself
};

// The "upload" section: how long a transfer may keep the caller waiting.
struct UploadSettings {
    int connectTimeoutMs = 10000;    // reaching the server, 100 .. 600000
    int transferTimeoutMs = 120000;  // the whole transfer, connection included, 100 .. 3600000
};

// Read a section into `settings` (defaults for what it leaves out); "" when the section is
// acceptable, else what is wrong with it.
std::string readSignPadSettings(const Json::Value& section, SignPadSettings& settings);
std::string readUploadSettings(const Json::Value& section, UploadSettings& settings);

struct Config {
    // The whole document; families take their own sections from it as they gain simulated and
    // real devices. An empty object when no file was read.
    Json::Value document{Json::objectValue};
    // The directory of the file read ("" when none was): relative paths in it start here.
    std::string directory;

    // Every family is enabled unless the document sets it to false under "families".
    bool familyEnabled(const std::string& family) const;
    // The "cameras" section; the defaults when it is missing or unusable.
    CameraSettings cameraSettings() const;
    // The "signpad" and "upload" sections; the defaults when missing or unusable.
    SignPadSettings signPadSettings() const;
    UploadSettings uploadSettings() const;
};

struct ConfigResult {
    enum class State {
        kMissing,    // no file: defaults
        kLoaded,     // the file was read and accepted
        kMalformed,  // the file exists but was unreadable or invalid: defaults
    };
    Config config;
    State state = State::kMissing;
    std::string path;              // the file looked at; "" when none was found
    bool fromEnvironment = false;  // the path came from PICTAVO_CONFIG
    std::string error;             // one line saying what was wrong (kMalformed)
};

// Reads and checks one configuration file. Never throws for a bad file; the result says what
// happened and carries the defaults when the file could not be used.
ConfigResult loadConfig(const std::string& path);

// The file to read: the value of PICTAVO_CONFIG when set and not empty (even when that file does
// not exist), else <exeDir>/cfg/simulator.json, else <exeDir>/../cfg/simulator.json, the first
// that exists; "" when none does.
std::string locateConfig(const char* environmentValue, const std::string& exeDir);

// The directory of the running executable (from /proc/self/exe); "" when it cannot be read.
std::string executableDirectory();

// locateConfig() for this process followed by loadConfig().
ConfigResult readConfig();

// One line saying why the configuration could not be used: a malformed file, or a file named by
// PICTAVO_CONFIG that does not exist. "" when it could (a missing default file is no problem).
std::string configProblem(const ConfigResult& result);

// Writes configProblem() to `out` as a line, when there is one.
void reportConfig(const ConfigResult& result, std::ostream& out);

}  // namespace pictavo
