// Looking into folders a test or a server wrote.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

namespace lenvaro::testing {

// The names in `dir` that start with `prefix` ("" for all), "." and ".." left out, sorted;
// empty when the folder cannot be read.
inline std::vector<std::string> filesIn(const std::string& dir, const std::string& prefix = "") {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name.rfind(prefix, 0) == 0) names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace lenvaro::testing
