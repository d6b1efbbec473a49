// The file operations the service does by itself (not through the capture library). Paths are
// texts in the internal code page; on Windows they reach the system as UTF-16, converted with
// the system's own conversion.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace lenvaro {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
// The size of a regular file; false for folders, devices, pipes and missing paths.
bool regularFileSize(const std::string& path, uint64_t& size);
bool removeFile(const std::string& path);
// Makes one folder (mode 0755 where modes exist); the result of an existing folder is false.
bool makeDirectory(const std::string& path);
// The absolute path with every link resolved; "" when the path does not exist.
std::string resolvedPath(const std::string& path);
// fopen with the path converted as above.
FILE* openFile(const std::string& path, const char* mode);

// Reads a whole regular file. Never waits on a named pipe and never reads a device (which
// could be endless); false for those and for files that cannot be opened or read.
bool readRegularFile(const std::string& path, std::string& bytes);
// Reads the first up to `count` bytes of a regular file into `buffer` (left as it was beyond
// what the file holds). False when the file cannot be opened or read, or is not a regular file.
bool readRegularFileStart(const std::string& path, uint8_t* buffer, size_t count);

// Creates or truncates `path` and writes the bytes, for the service's own scratch files that are
// rewritten many times a second (preview frames): no temporary file and no flush. New files are
// private to the user (mode 0600 where modes exist). Files a page asks for go through
// common/file_writer.h instead. On failure, `error` (when given) says why.
bool writeFileBytes(const std::string& path, const void* bytes, size_t count, std::string* error = nullptr);

// Keeps a socket or file of this process from being inherited by processes it starts.
void keepFromChildProcesses(uintptr_t nativeHandle);

// Whether the listening socket is bound with address reuse. On Linux that lets a restarted
// service bind over connections still in TIME_WAIT; on Windows it would let another program
// bind the same port, so there the socket is made exclusive instead (prepareListeningSocket).
extern const bool kReuseListenAddress;
// Readies the listening socket before it is bound: not inherited, and exclusive on Windows.
void prepareListeningSocket(uintptr_t nativeHandle);

}  // namespace lenvaro
