// Reply texts and integer rendering.
#include "service/reply.h"

#include <charconv>

#include "files/text_encoding.h"

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

std::string jsonStringContent(const std::string& text) {
    return editAsUtf8(text, [](const std::string& plain) {
        std::string escaped;
        escaped.reserve(plain.size() + 8);
        for (const char c : plain) {
            switch (c) {
                case '"': escaped += "\\\""; break;
                case '\\': escaped += "\\\\"; break;
                case '\b': escaped += "\\b"; break;
                case '\f': escaped += "\\f"; break;
                case '\n': escaped += "\\n"; break;
                case '\r': escaped += "\\r"; break;
                case '\t': escaped += "\\t"; break;
                default:
                    if (static_cast<unsigned char>(c) < 0x20) {
                        static constexpr char kHex[] = "0123456789abcdef";
                        escaped += "\\u00";
                        escaped += kHex[(c >> 4) & 0xF];
                        escaped += kHex[c & 0xF];
                    } else {
                        escaped += c;
                    }
            }
        }
        return escaped;
    });
}

}  // namespace lenvaro
