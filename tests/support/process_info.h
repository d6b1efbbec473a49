// What /proc tells about a process a test started: which one runs an executable, its resident
// memory, its limits.
#pragma once

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace lenvaro::testing {

// Every process whose executable is `path` (a server's private copy, and children it forked).
inline std::vector<pid_t> processesRunning(const std::string& path) {
    std::vector<pid_t> found;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return found;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (pid <= 0) continue;
            char target[PATH_MAX];
            const std::string link = "/proc/" + std::string(entry->d_name) + "/exe";
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length <= 0) continue;
            target[length] = '\0';
            if (std::string(target) == resolved) found.push_back(pid);
        }
        closedir(proc);
    }
    return found;
}

// A process whose executable is `path`, or 0.
inline pid_t processRunning(const std::string& path) {
    const std::vector<pid_t> found = processesRunning(path);
    return found.empty() ? 0 : found.front();
}

// VmRSS of the process in KiB, 0 when it cannot be read.
inline long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// The soft limit on open files of the process, -1 when it cannot be read ("unlimited" too).
inline long openFilesSoftLimit(pid_t pid) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    const std::string name = "Max open files";
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind(name, 0) != 0) continue;
        const std::string values = line.substr(name.size());
        const size_t start = values.find_first_not_of(' ');
        if (start == std::string::npos || values.compare(start, 9, "unlimited") == 0) return -1;
        return std::atol(values.c_str() + start);
    }
    return -1;
}

}  // namespace lenvaro::testing
