// The managed-policy file for Chromium-based browsers: checked origins, the JSON text, and
// install, remove and show over the browsers' policy folders.
#include "host/browser_policy.h"

#include <dirent.h>
#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>

#include "common/file_writer.h"
#include "host/config_reader.h"
#include "service/handshake_policy.h"

namespace lenvaro {
namespace {

// Policies another file in a folder may set that bear on ours: Chromium takes each policy from
// one file only, and a blocked list wins over an allowed one.
constexpr const char* kRelatedPolicies[] = {
    kLocalNetworkAccessPolicy,
    kInsecureOriginPolicy,
    "LocalNetworkAccessBlockedForUrls",
    "LoopbackNetworkBlockedForUrls",
};

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// mkdir -p with mode 0755 for what is made.
bool makeFolders(const std::string& path, std::string& error) {
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        partial += "/" + part;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            error = systemError("cannot make " + partial);
            return false;
        }
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = path + " is not a folder";
        return false;
    }
    return true;
}

// Replaces `path` with `text` at once (a browser reading the folder sees the old file or the new
// one, never half of it), readable by everyone, as policy files must be.
bool replaceFile(const std::string& path, const std::string& text, std::string& error) {
    return files::writeFileAtomically(path, text.data(), text.size(), files::FileAccess::Shared, &error);
}

enum class FileState { Absent, Regular, Other, Unreadable };

FileState readRegularFile(const std::string& path, std::string& text) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? FileState::Absent : FileState::Unreadable;
    if (!S_ISREG(info.st_mode)) return FileState::Other;
    std::ifstream in(path, std::ios::binary);
    if (!in) return FileState::Unreadable;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return FileState::Regular;
}

// The origins our own file lists, for `show`; empty when it does not parse.
std::vector<std::string> originsInPolicyText(const std::string& text) {
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::istringstream in(text);
    std::string ignored;
    std::vector<std::string> origins;
    if (!Json::parseFromStream(builder, in, &root, &ignored) || !root.isObject()) return origins;
    const Json::Value& list = root[kLocalNetworkAccessPolicy];
    if (!list.isArray()) return origins;
    for (const Json::Value& entry : list) {
        if (entry.isString()) origins.push_back(entry.asString());
    }
    return origins;
}

// Lines telling which other files of the folder set a policy related to ours. Read only.
std::vector<std::string> relatedPoliciesElsewhere(const std::string& folder) {
    std::vector<std::string> notes;
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(folder.c_str()), ::closedir);
    if (!directory) return notes;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory.get())) {
        const std::string name = entry->d_name;
        if (name == kBrowserPolicyFileName || startsWith(name, ".")) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string text;
        if (readRegularFile(folder + "/" + name, text) != FileState::Regular) continue;
        Json::Value root;
        Json::CharReaderBuilder builder;
        std::istringstream in(text);
        std::string ignored;
        if (!Json::parseFromStream(builder, in, &root, &ignored) || !root.isObject()) continue;
        for (const char* policy : kRelatedPolicies) {
            if (root.isMember(policy)) notes.push_back(folder + "/" + name + " sets " + policy);
        }
    }
    return notes;
}

void printRelatedPolicies(const PolicyFolder& folder, std::ostream& out) {
    const std::vector<std::string> notes = relatedPoliciesElsewhere(folder.path);
    for (const std::string& note : notes) out << "  note: " << note << "\n";
    if (!notes.empty()) {
        out << "  (a browser takes each policy from one file of the folder only, and a "
               "*BlockedForUrls list\n"
               "  wins over an allowed one: merge the lists into one file, or some pages stay "
               "blocked)\n";
    }
}

bool isPlainHttp(const std::string& origin) { return startsWith(origin, "http://"); }

void printOrigins(const std::vector<std::string>& origins, std::ostream& out) {
    for (const std::string& origin : origins) {
        out << "  " << origin;
        if (isPlainHttp(origin))
            out << "   (plain HTTP: the browser will also treat this page as secure)";
        out << "\n";
    }
}

std::string refusal(const BrowserPolicySetup& setup, const PolicyOrigins& checked) {
    return "lenvaro-server: no browser policy written: " + checked.error + " (in " +
           setup.configPath + ")\n";
}

int installPolicy(const BrowserPolicySetup& setup, const PolicyOrigins& checked, std::ostream& out,
                  std::ostream& err) {
    if (!checked.error.empty()) {
        err << refusal(setup, checked);
        return 1;
    }
    const std::string text = browserPolicyText(checked.origins);
    out << "Pages let through to the service (allowedOrigin in " << setup.configPath << "):\n";
    printOrigins(checked.origins, out);
    int status = 0;
    for (const PolicyFolder& folder : setup.folders) {
        const std::string path = folder.path + "/" + kBrowserPolicyFileName;
        std::string error;
        if (!makeFolders(folder.path, error) || !replaceFile(path, text, error)) {
            err << "lenvaro-server: " << error << " (" << folder.browser << ")\n";
            status = 1;
            continue;
        }
        out << "Wrote " << path << " (" << folder.browser << ")\n";
        printRelatedPolicies(folder, out);
    }
    out << "Restart the browsers for the policy to take effect; chrome://policy (edge://policy in "
           "Edge)\n"
           "lists it. 'lenvaro-server --browser-policy remove' takes it away again.\n";
    return status;
}

int removePolicy(const BrowserPolicySetup& setup, std::ostream& out, std::ostream& err) {
    int status = 0;
    for (const PolicyFolder& folder : setup.folders) {
        const std::string path = folder.path + "/" + kBrowserPolicyFileName;
        if (::unlink(path.c_str()) == 0) {
            out << "Removed " << path << " (" << folder.browser << ")\n";
        } else if (errno == ENOENT || errno == ENOTDIR) {
            out << "No policy file at " << path << " (" << folder.browser << ")\n";
        } else {
            err << "lenvaro-server: " << systemError("cannot remove " + path) << "\n";
            status = 1;
        }
    }
    return status;
}

int showPolicy(const BrowserPolicySetup& setup, const PolicyOrigins& checked, std::ostream& out) {
    out << "Configuration: " << setup.configPath << "\n";
    std::string expected;
    if (checked.error.empty()) {
        expected = browserPolicyText(checked.origins);
        out << "Pages the policy lets through:\n";
        printOrigins(checked.origins, out);
        out << "Policy file as 'install' writes it:\n" << expected;
    } else {
        out << "'install' would refuse: " << checked.error << "\n";
    }
    for (const PolicyFolder& folder : setup.folders) {
        const std::string path = folder.path + "/" + kBrowserPolicyFileName;
        std::string text;
        out << folder.browser << ": " << path << ": ";
        switch (readRegularFile(path, text)) {
            case FileState::Absent:
                out << "not installed\n";
                break;
            case FileState::Other:
                out << "present but not a regular file; the browser may not read it\n";
                break;
            case FileState::Unreadable:
                out << "cannot be read\n";
                break;
            case FileState::Regular: {
                out << (text == expected ? "installed, as the configuration says\n"
                                         : "installed, but differs from the configuration (run "
                                           "install again)\n");
                if (text != expected) {
                    out << "  it lets through:";
                    for (const std::string& origin : originsInPolicyText(text))
                        out << " " << origin;
                    out << "\n";
                }
                break;
            }
        }
        printRelatedPolicies(folder, out);
    }
    return 0;
}

const char* actionName(BrowserPolicyAction action) {
    switch (action) {
        case BrowserPolicyAction::Install:
            return "install";
        case BrowserPolicyAction::Remove:
            return "remove";
        case BrowserPolicyAction::Show:
            return "show";
    }
    return "";
}

}  // namespace

std::vector<PolicyFolder> managedPolicyFolders() {
    return {
        {"Chromium", "/etc/chromium/policies/managed"},
        {"Google Chrome", "/etc/opt/chrome/policies/managed"},
        {"Microsoft Edge", "/etc/opt/edge/policies/managed"},
    };
}

PolicyOrigins policyOriginsFrom(const std::vector<std::string>& allowedOriginSettings) {
    PolicyOrigins checked;
    if (allowedOriginSettings.empty()) {
        checked.error =
            "no allowedOrigin is configured; a policy must name the pages it lets through, so list "
            "the "
            "origin of each page that uses the service first";
        return checked;
    }
    for (const std::string& setting : allowedOriginSettings) {
        const std::string origin = canonicalOrigin(setting);
        const std::string quoted = "allowedOrigin \"" + setting + "\"";
        if (setting.find('*') != std::string::npos) {
            checked.error = quoted + " is a wildcard; list the origin of each site instead";
        } else if (origin.empty()) {
            checked.error = quoted + " is not an origin (scheme://host[:port])";
        } else if (origin == "null") {
            checked.error =
                quoted + " stands for pages opened from files, which no policy can name";
        } else if (!startsWith(origin, "http://") && !startsWith(origin, "https://")) {
            checked.error = quoted + " is not the origin of a web page (http:// or https://)";
        }
        if (!checked.error.empty()) {
            checked.origins.clear();
            return checked;
        }
        if (std::find(checked.origins.begin(), checked.origins.end(), origin) ==
            checked.origins.end()) {
            checked.origins.push_back(origin);
        }
    }
    return checked;
}

std::string browserPolicyText(const std::vector<std::string>& origins) {
    Json::Value root(Json::objectValue);
    Json::Value allowed(Json::arrayValue);
    Json::Value insecure(Json::arrayValue);
    for (const std::string& origin : origins) {
        allowed.append(origin);
        if (isPlainHttp(origin)) insecure.append(origin);
    }
    root[kLocalNetworkAccessPolicy] = allowed;
    if (!insecure.empty()) root[kInsecureOriginPolicy] = insecure;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    return Json::writeString(writer, root) + "\n";
}

int runBrowserPolicy(BrowserPolicyAction action, const BrowserPolicySetup& setup, std::ostream& out,
                     std::ostream& err) {
    if (action != BrowserPolicyAction::Show && !setup.privileged) {
        err << "lenvaro-server: --browser-policy " << actionName(action)
            << " must run as root: the browsers' policy folders under /etc belong to root.\n"
               "Run it with sudo, or as root. ('--browser-policy show' works for every user.)\n";
        return 1;
    }
    if (action == BrowserPolicyAction::Remove) return removePolicy(setup, out, err);
    const PolicyOrigins checked =
        policyOriginsFrom(ConfigReader().readAllowedOrigins(setup.configPath));
    if (action == BrowserPolicyAction::Install) return installPolicy(setup, checked, out, err);
    return showPolicy(setup, checked, out);
}

}  // namespace lenvaro
