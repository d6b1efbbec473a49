// The file work the library does itself, without any device or engine.
#pragma once

#include <string>

namespace pictavo {

// The whole regular file as Base64 with "\r\n" after every 76 characters; "" when the path does
// not name a readable regular file.
std::string encodeFileBase64(const std::string& path);

// Removes a regular file or a symbolic link (the link itself, never what it points to).
// kInvalidArgument for an empty path; kFileError when nothing is there, when it is a directory
// or another kind of file, or when it cannot be removed.
int deleteFile(const std::string& path);

}  // namespace pictavo
