// Whole files through an AtomicFile, and the names of new files, whatever the platform.
#include "common/file_writer.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace lenvaro::files {

namespace detail {

std::string temporaryNameTag(unsigned long processId) {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    const unsigned long mixed = (processId << 20) ^ static_cast<unsigned long>(now.count()) ^
                                (counter.fetch_add(1) * 2654435761u);
    char tag[24];
    std::snprintf(tag, sizeof tag, "%08lx", mixed & 0xffffffffUL);
    return tag;
}

}  // namespace detail

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
