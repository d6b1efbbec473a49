// Whole files through an AtomicFile, whatever the platform.
#include "files/file_writer.h"

#include <cstdio>

namespace lenvaro::files {

bool writeFileAtomically(const std::string& path, const void* data, size_t size, FileAccess access,
                         std::string* error) {
    AtomicFile file(path, access);
    const bool ok = file.ready() && file.write(data, size) && file.commit();
    if (!ok && error != nullptr) *error = file.error();
    return ok;
}

void writeFileOrReport(const std::string& path, const void* data, size_t size, FileAccess access) {
    if (path.empty()) return;
    std::string error;
    if (!writeFileAtomically(path, data, size, access, &error)) std::fprintf(stderr, "%s\n", error.c_str());
}

}  // namespace lenvaro::files
