// Naming captures after their barcode.
#include "pictavo/recognition/barcode_file_name.h"

#include <cstring>

#include "pictavo/recognition/locale_text.h"

namespace pictavo {
namespace {

constexpr size_t kMaxNameBytes = 200;
constexpr int kMaxSuffix = 999;

bool unsafe(unsigned char c) {
    return c < 0x20 || c == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr;
}

std::string trimmed(const std::string& name) {
    const size_t first = name.find_first_not_of(" .");
    if (first == std::string::npos) return "";
    const size_t last = name.find_last_not_of(" .");
    return name.substr(first, last - first + 1);
}

}  // namespace

std::string fileNameFromBarcode(const std::string& barcodeText) {
    std::string safe;
    safe.reserve(barcodeText.size());
    for (char c : barcodeText) safe += unsafe(static_cast<unsigned char>(c)) ? '_' : c;
    // Trim before and after the cut: the cut may leave a trailing dot or space behind.
    return trimmed(toInterfaceText(trimmed(safe), kMaxNameBytes));
}

std::string barcodeNamedPath(const std::string& requestedPath, const std::string& barcodeText,
                             const std::function<bool(const std::string&)>& exists) {
    const std::string name = fileNameFromBarcode(barcodeText);
    if (name.empty()) return requestedPath;
    const size_t slash = requestedPath.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string folder = requestedPath.substr(0, nameStart);
    const size_t dot = requestedPath.rfind('.');
    const std::string extension =
        dot == std::string::npos || dot < nameStart ? "" : requestedPath.substr(dot);
    for (int suffix = 1; suffix <= kMaxSuffix; ++suffix) {
        const std::string candidate =
            folder + name + (suffix == 1 ? "" : "_" + std::to_string(suffix)) + extension;
        if (!exists(candidate)) return candidate;
    }
    return requestedPath;
}

}  // namespace pictavo
