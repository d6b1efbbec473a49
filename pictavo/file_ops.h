// The file work the library does itself, without any device or engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo {

// The whole regular file as Base64 with "\r\n" after every 76 characters; "" when the path does
// not name a readable regular file.
std::string encodeFileBase64(const std::string& path);

// Removes a regular file or a symbolic link (the link itself, never what it points to).
// kInvalidArgument for an empty path; kFileError when nothing is there, when it is a directory
// or another kind of file, or when it cannot be removed.
int deleteFile(const std::string& path);

// Writes `bytes` as the whole file at `path` with the shared file writer (common/file_writer.h):
// flushed and renamed into place, so nobody sees half a file; a new file gets the user's umask,
// a replaced one keeps its mode. For documents: captures, combined pictures, signatures. kOk,
// or kFileError when any step fails.
int writeDocumentFile(const std::string& path, const std::vector<uint8_t>& bytes);

// The same for card photos and biometric data: the file is readable by the user alone (0600).
int writePrivateFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace pictavo
