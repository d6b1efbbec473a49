// Reply texts and integer rendering.
#include "service/reply.h"

#include <charconv>

namespace lenvaro {

std::string composeReply(const std::string& name, const std::string& result, bool raw) {
    const char* marker = nullptr;
    if (name == "camStartPreview" || name == "FileEncodeBase64" ||
        name == "idcardrfidGetOneFingerprintMsg" || name == "GetFingerprint") {
        marker = "$*$";
    } else if (name == "getFolderDayFileA") {
        marker = "$$$";
    } else if (name == "ocrCombineToString" || name == "ocrCombineSingleToString") {
        marker = "$-$";
    }
    std::string text;
    if (marker != nullptr) {
        text.reserve(3 + result.size());
        text += marker;
        text += result;
        return text;
    }
    text.reserve(name.size() + result.size() + 27);
    text += "{\"FuncName\":\"";
    text += name;
    text += raw ? "\",\"result\":" : "\",\"result\":\"";
    text += result;
    text += raw ? "}" : "\"}";
    return text;
}

std::string intToText(int32_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(value)).ptr;
    return std::string(buffer, end);
}

std::string uintToText(int32_t value) {
    char buffer[24];
    const auto widened = static_cast<uint64_t>(static_cast<int64_t>(value));
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, widened).ptr;
    return std::string(buffer, end);
}

std::string rawList(const std::vector<std::string>& items) {
    std::string text = "[\"";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i != 0) text += "\",\"";
        text += items[i];
    }
    text += "\"]";
    return text;
}

}  // namespace lenvaro
