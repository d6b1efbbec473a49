// Time-stamped paths in the documents folder.
#include "files/documents_path.h"

#include <cstdio>

#include "common/file_io.h"
#include "common/paths.h"

namespace lenvaro {
namespace {

void makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        makeDirectory(path.substr(0, slash));
        if (slash == std::string::npos) break;
    }
}

}  // namespace

std::string tickFilePath(const std::string& folder, uint32_t tick, const std::string& suffix) {
    char text[64];
    std::snprintf(text, sizeof text, "%d.", static_cast<int32_t>(tick));
    return folder + "/" + text + suffix;
}

std::string documentsTickPath(const std::string& suffix) {
    const std::string folder = documentsFolder();
    makeDirectories(folder);
    return tickFilePath(folder, tickCount(), suffix);
}

}  // namespace lenvaro
