// Linux stand-ins for the executable path, temporary and documents folders, and tick count.
#include "common/paths.h"

#include <ftw.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace lenvaro {
namespace {

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return withoutTrailingSlashes(home);
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return withoutTrailingSlashes(entry->pw_dir);
    }
    return "";
}

// Reads XDG_DOCUMENTS_DIR="..." from user-dirs.dirs, expanding a leading $HOME.
std::string xdgDocumentsDirectory(const std::string& home) {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string configDir =
        configHome != nullptr && *configHome == '/' ? std::string(configHome) : home + "/.config";
    std::ifstream file(configDir + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
        if (value.empty() || value.front() != '/') return "";
        return withoutTrailingSlashes(value);
    }
    return "";
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return std::remove(path) == 0 ? 0 : -1;
}

}  // namespace

std::string moduleDirectory() {
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return ".";
    std::string path(buffer.data(), static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string temporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && *tmp != '\0') return withoutTrailingSlashes(tmp);
    return "/tmp";
}

std::string scratchParentFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        struct stat info {};
        if (stat(runtime, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
            (info.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
            return withoutTrailingSlashes(runtime);
        }
    }
    return temporaryFolder();
}

std::string documentsFolder() {
    const std::string home = homeDirectory();
    if (std::string xdg = xdgDocumentsDirectory(home); !xdg.empty()) return xdg;
    if (home.empty()) return temporaryFolder();
    return home + "/Documents";
}

uint32_t tickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                        static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

ScratchDirectory::ScratchDirectory(const std::string& parent) {
    std::string pattern = parent + "/lenvaro-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("cannot create a scratch directory under " + parent + ": " +
                                 std::strerror(errno));
    }
    path_ = buffer.data();
}

ScratchDirectory::~ScratchDirectory() { removeTree(path_); }

bool removeTree(const std::string& path) {
    return nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

}  // namespace lenvaro
