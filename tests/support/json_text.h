// JSON string literals built byte for byte, for requests that carry hostile or fuzzed texts:
// quote, backslash and control characters are escaped (a zero byte as \u0000, which JsonCpp keeps
// inside the string); every other byte, invalid UTF-8 included, stands as it is, so the service
// sees exactly the bytes the test chose.
#pragma once

#include <cstdio>
#include <string>

namespace lenvaro::testing {

inline void appendJsonString(std::string& json, const std::string& bytes) {
    json += '"';
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            json += escaped;
        } else {
            json += c;
        }
    }
    json += '"';
}

inline std::string jsonString(const std::string& bytes) {
    std::string json;
    appendJsonString(json, bytes);
    return json;
}

}  // namespace lenvaro::testing
