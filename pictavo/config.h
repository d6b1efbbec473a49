// The library's configuration: one optional JSON file, read once when the library is first used.
#pragma once

#include <json/value.h>

#include <iosfwd>
#include <string>

namespace pictavo {

// The device and engine families a configuration can switch off under "families".
inline constexpr const char* kFamilyNames[] = {"camera",      "cards",   "biometrics",
                                               "recognition", "signpad", "upload"};

struct Config {
    // The whole document; families take their own sections from it as they gain simulated and
    // real devices. An empty object when no file was read.
    Json::Value document{Json::objectValue};

    // Every family is enabled unless the document sets it to false under "families".
    bool familyEnabled(const std::string& family) const;
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

// Writes one line to `out` when the configuration could not be used: a malformed file, or a
// file named by PICTAVO_CONFIG that does not exist. A missing default file is silent.
void reportConfig(const ConfigResult& result, std::ostream& out);

}  // namespace pictavo
