// Reading and checking cfg/simulator.json.
#include "config.h"

#include <json/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <ostream>

#include "pictavo/biometrics/face_settings.h"
#include "pictavo/biometrics/fingerprint_settings.h"
#include "pictavo/cards/card_settings.h"

namespace pictavo {
namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads the whole file into `content`; returns "" on success, else what went wrong.
std::string readRegularFile(const std::string& path, std::string& content) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "not a regular file";
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return "cannot be opened";
    char chunk[16 * 1024];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) content.append(chunk, got);
    if (std::ferror(file.get())) return "cannot be read";
    return "";
}

// jsoncpp reports errors over several lines; the report must stay on one.
std::string oneLine(const std::string& text) {
    std::string line;
    bool pendingBreak = false;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            pendingBreak = !line.empty();
            continue;
        }
        if (pendingBreak) {
            line += "; ";
            pendingBreak = false;
        }
        line += c;
    }
    return line;
}

// Checks the parts of the document the library reads today; "" when they are acceptable.
std::string checkDocument(const Json::Value& document) {
    if (!document.isObject()) return "the document is not a JSON object";
    if (document.isMember("families")) {
        const Json::Value& families = document["families"];
        if (!families.isObject()) return "\"families\" is not an object";
        for (const std::string& name : families.getMemberNames()) {
            bool known = false;
            for (const char* family : kFamilyNames) known = known || name == family;
            if (!known) return "\"families\" names an unknown family \"" + name + "\"";
            if (!families[name].isBool())
                return "\"families\": \"" + name + "\" is not true or false";
        }
    }
    if (document.isMember("cameras")) {
        CameraSettings ignored;
        const std::string error = readCameraSettings(document["cameras"], "", ignored);
        if (!error.empty()) return "\"cameras\": " + error;
    }
    if (document.isMember("signpad")) {
        SignPadSettings ignored;
        const std::string error = readSignPadSettings(document["signpad"], ignored);
        if (!error.empty()) return "\"signpad\": " + error;
    }
    if (document.isMember("upload")) {
        UploadSettings ignored;
        const std::string error = readUploadSettings(document["upload"], ignored);
        if (!error.empty()) return "\"upload\": " + error;
    }
    if (document.isMember("cards")) {
        CardSettings ignored;
        const std::string error = readCardSettings(document["cards"], "", ignored);
        if (!error.empty()) return error;
    }
    if (document.isMember("fingerprint")) {
        FingerprintSettings ignored;
        const std::string error = readFingerprintSettings(document["fingerprint"], ignored);
        if (!error.empty()) return "\"fingerprint\": " + error;
    }
    if (document.isMember("faces")) {
        FaceSettings ignored;
        const std::string error = readFaceSettings(document["faces"], "", ignored);
        if (!error.empty()) return "\"faces\": " + error;
    }
    return "";
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// "2592x1944" -> {2592, 1944}; false for anything else.
bool parseSize(const std::string& text, Resolution& size) {
    int width = 0, height = 0;
    char separator = 0, extra = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c", &width, &separator, &height, &extra) != 3 ||
        (separator != 'x' && separator != '*'))
        return false;
    if (width < 16 || height < 16 || width > 8192 || height > 8192) return false;
    size = {width, height};
    return true;
}

std::string readSimulatedCamera(const Json::Value& value, const std::string& directory,
                                SimulatedCameraSettings& camera) {
    if (!value.isObject()) return "is not an object";
    for (const std::string& key : value.getMemberNames()) {
        const Json::Value& item = value[key];
        if (key == "enabled") {
            if (!item.isBool()) return "\"enabled\" is not true or false";
            camera.enabled = item.asBool();
        } else if (key == "sizes") {
            if (!item.isArray() || item.empty()) return "\"sizes\" is not a list of sizes";
            camera.sizes.clear();
            for (const Json::Value& entry : item) {
                Resolution size;
                if (!entry.isString() || !parseSize(entry.asString(), size))
                    return "\"sizes\" holds something other than \"<width>x<height>\" "
                           "(16 .. 8192 each)";
                camera.sizes.push_back(size);
            }
        } else if (key == "images") {
            if (!item.isArray()) return "\"images\" is not a list of file names";
            camera.images.clear();
            for (const Json::Value& entry : item) {
                if (!entry.isString() || entry.asString().empty())
                    return "\"images\" holds something other than a file name";
                const std::string path = entry.asString();
                camera.images.push_back(path[0] == '/' || directory.empty()
                                            ? path
                                            : directory + "/" + path);
            }
        } else {
            return "unknown key \"" + key + "\"";
        }
    }
    return "";
}

// An integer in [low, high] under `key`, when present.
std::string readInteger(const Json::Value& section, const char* key, int low, int high,
                        int& out) {
    if (!section.isMember(key)) return "";
    const Json::Value& value = section[key];
    if (!value.isInt() || value.asInt() < low || value.asInt() > high)
        return std::string("\"") + key + "\" is not a whole number from " + std::to_string(low) +
               " to " + std::to_string(high);
    out = value.asInt();
    return "";
}

}  // namespace

std::string readCameraSettings(const Json::Value& section, const std::string& directory,
                               CameraSettings& settings) {
    if (!section.isObject()) return "is not an object";
    for (const std::string& key : section.getMemberNames()) {
        std::string error;
        if (key == "simulated") {
            if (!section[key].isBool()) return "\"simulated\" is not true or false";
            settings.simulated = section[key].asBool();
        } else if (key == "real") {
            if (!section[key].isBool()) return "\"real\" is not true or false";
            settings.real = section[key].asBool();
        } else if (key == "frameRate") {
            error = readInteger(section, "frameRate", 1, 60, settings.frameRate);
        } else if (key == "previewWidth") {
            error = readInteger(section, "previewWidth", 0, 16384, settings.previewWidth);
        } else if (key == "pageTurnSeconds") {
            error = readInteger(section, "pageTurnSeconds", 1, 3600, settings.pageTurnSeconds);
        } else if (key == "document") {
            error = readSimulatedCamera(section[key], directory, settings.document);
            if (!error.empty()) error = "\"document\": " + error;
        } else if (key == "second") {
            error = readSimulatedCamera(section[key], directory, settings.second);
            if (!error.empty()) error = "\"second\": " + error;
        } else {
            error = "unknown key \"" + key + "\"";
        }
        if (!error.empty()) return error;
    }
    return "";
}

CameraSettings Config::cameraSettings() const {
    CameraSettings settings;
    if (!document.isObject() || !document.isMember("cameras")) return settings;
    if (!readCameraSettings(document["cameras"], directory, settings).empty())
        return CameraSettings{};
    return settings;
}

std::string readSignPadSettings(const Json::Value& section, SignPadSettings& settings) {
    if (!section.isObject()) return "is not an object";
    for (const std::string& key : section.getMemberNames()) {
        std::string error;
        if (key == "simulated" || key == "saveAfterStroke") {
            if (!section[key].isBool()) return "\"" + key + "\" is not true or false";
            bool& flag = key == "simulated" ? settings.simulated : settings.saveAfterStroke;
            flag = section[key].asBool();
        } else if (key == "strokeAfterMs") {
            error = readInteger(section, "strokeAfterMs", 0, 600000, settings.strokeAfterMs);
        } else {
            error = "unknown key \"" + key + "\"";
        }
        if (!error.empty()) return error;
    }
    return "";
}

std::string readUploadSettings(const Json::Value& section, UploadSettings& settings) {
    if (!section.isObject()) return "is not an object";
    for (const std::string& key : section.getMemberNames()) {
        std::string error;
        if (key == "connectTimeoutMs") {
            error = readInteger(section, "connectTimeoutMs", 100, 600000,
                                settings.connectTimeoutMs);
        } else if (key == "transferTimeoutMs") {
            error = readInteger(section, "transferTimeoutMs", 100, 3600000,
                                settings.transferTimeoutMs);
        } else {
            error = "unknown key \"" + key + "\"";
        }
        if (!error.empty()) return error;
    }
    return "";
}

SignPadSettings Config::signPadSettings() const {
    SignPadSettings settings;
    if (!document.isObject() || !document.isMember("signpad")) return settings;
    if (!readSignPadSettings(document["signpad"], settings).empty()) return SignPadSettings{};
    return settings;
}

UploadSettings Config::uploadSettings() const {
    UploadSettings settings;
    if (!document.isObject() || !document.isMember("upload")) return settings;
    if (!readUploadSettings(document["upload"], settings).empty()) return UploadSettings{};
    return settings;
}

bool Config::familyEnabled(const std::string& family) const {
    if (!document.isObject()) return true;
    const Json::Value& families = document["families"];
    if (!families.isObject() || !families.isMember(family)) return true;
    return families[family].asBool();
}

ConfigResult loadConfig(const std::string& path) {
    ConfigResult result;
    result.path = path;
    if (path.empty() || !exists(path)) return result;

    result.state = ConfigResult::State::kMalformed;
    std::string content;
    result.error = readRegularFile(path, content);
    if (!result.error.empty()) return result;

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value document;
    std::string errors;
    // JsonCpp throws rather than fail on some documents (nesting deeper than its stack limit):
    // that is a malformed file like any other, never a library that cannot start.
    try {
        if (!reader->parse(content.data(), content.data() + content.size(), &document, &errors)) {
            result.error = oneLine(errors.empty() ? "not valid JSON" : errors);
            return result;
        }
        result.error = checkDocument(document);
    } catch (const std::exception& error) {
        result.error = oneLine(error.what());
    }
    if (!result.error.empty()) return result;

    result.config.document = std::move(document);
    result.config.directory = directoryOf(path);
    result.state = ConfigResult::State::kLoaded;
    return result;
}

std::string locateConfig(const char* environmentValue, const std::string& exeDir) {
    if (environmentValue != nullptr && *environmentValue != '\0') return environmentValue;
    if (exeDir.empty()) return "";
    for (const char* relative : {"/cfg/simulator.json", "/../cfg/simulator.json"}) {
        std::string candidate = exeDir + relative;
        if (exists(candidate)) return candidate;
    }
    return "";
}

std::string executableDirectory() {
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) return "";
    buffer.resize(static_cast<size_t>(length));
    const size_t slash = buffer.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : buffer.substr(0, slash);
}

ConfigResult readConfig() {
    const char* environmentValue = std::getenv("PICTAVO_CONFIG");
    ConfigResult result = loadConfig(locateConfig(environmentValue, executableDirectory()));
    result.fromEnvironment = environmentValue != nullptr && *environmentValue != '\0';
    return result;
}

std::string configProblem(const ConfigResult& result) {
    switch (result.state) {
        case ConfigResult::State::kMalformed:
            return "pictavo: ignoring " + result.path + " (" + result.error + "); using defaults";
        case ConfigResult::State::kMissing:
            if (result.fromEnvironment)
                return "pictavo: PICTAVO_CONFIG names " + result.path +
                       ", which does not exist; using defaults";
            break;
        case ConfigResult::State::kLoaded:
            break;
    }
    return "";
}

void reportConfig(const ConfigResult& result, std::ostream& out) {
    const std::string problem = configProblem(result);
    if (!problem.empty()) out << problem << "\n";
}

}  // namespace pictavo
