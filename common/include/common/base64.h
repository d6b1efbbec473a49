// The service's own Base64 coder and the small text helpers built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lenvaro {

// Standard alphabet with "=" padding and "\r\n" after every 76 characters (every 19th whole
// group of three bytes, the last one included); no line break follows a one- or two-byte tail.
std::string base64Encode(const uint8_t* bytes, size_t count);
inline std::string base64Encode(const std::string& bytes) {
    return base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Decodes up to `length` characters of `text` (never more than the text holds). "\r" and "\n"
// between groups are skipped; other characters outside the alphabet decode as 0; a group ends
// early at "=" or where the text ends. Adds the number of decoded bytes to `byteCounter`.
std::string base64Decode(const std::string& text, size_t length, size_t& byteCounter);

// The whole file as base64Encode text, line breaks included; "" when it cannot be read.
std::string readFileAsBase64(const std::string& path);

// Replaces every occurrence of `find` in `text`, resuming after each inserted replacement.
std::string& replaceAll(std::string& text, const std::string& find, const std::string& replacement);

}  // namespace lenvaro
