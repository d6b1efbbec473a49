// Reading and checking cfg/simulator.json.
#include "config.h"

#include <json/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>

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
    if (!document.isMember("families")) return "";
    const Json::Value& families = document["families"];
    if (!families.isObject()) return "\"families\" is not an object";
    for (const std::string& name : families.getMemberNames()) {
        bool known = false;
        for (const char* family : kFamilyNames) known = known || name == family;
        if (!known) return "\"families\" names an unknown family \"" + name + "\"";
        if (!families[name].isBool()) return "\"families\": \"" + name + "\" is not true or false";
    }
    return "";
}

}  // namespace

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
    if (!reader->parse(content.data(), content.data() + content.size(), &document, &errors)) {
        result.error = oneLine(errors.empty() ? "not valid JSON" : errors);
        return result;
    }
    result.error = checkDocument(document);
    if (!result.error.empty()) return result;

    result.config.document = std::move(document);
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

void reportConfig(const ConfigResult& result, std::ostream& out) {
    switch (result.state) {
        case ConfigResult::State::kMalformed:
            out << "pictavo: ignoring " << result.path << " (" << result.error
                << "); using defaults\n";
            break;
        case ConfigResult::State::kMissing:
            if (result.fromEnvironment)
                out << "pictavo: PICTAVO_CONFIG names " << result.path
                    << ", which does not exist; using defaults\n";
            break;
        case ConfigResult::State::kLoaded:
            break;
    }
}

}  // namespace pictavo
