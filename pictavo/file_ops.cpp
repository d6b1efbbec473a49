// Base64 of a whole file, and file removal.
#include "pictavo/file_ops.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/base64.h"
#include "common/file_writer.h"
#include "pictavo/status.h"

namespace pictavo {

std::string encodeFileBase64(const std::string& path) {
    // Only regular files: a device such as /dev/zero or a FIFO would never end or never answer.
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
    return lenvaro::readFileAsBase64(path);
}

int deleteFile(const std::string& path) {
    if (path.empty()) return kInvalidArgument;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return kFileError;
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return kFileError;
    return ::unlink(path.c_str()) == 0 ? kOk : kFileError;
}

int writeDocumentFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    return lenvaro::files::writeFileAtomically(path, bytes.data(), bytes.size(),
                                               lenvaro::files::FileAccess::Document)
               ? kOk
               : kFileError;
}

int writePrivateFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    return lenvaro::files::writeFileAtomically(path, bytes.data(), bytes.size(),
                                               lenvaro::files::FileAccess::Private)
               ? kOk
               : kFileError;
}

}  // namespace pictavo
