// The one way the service and the built-in capture library write a file a page asked for
// (captures, PDFs, recordings, OCR output, signatures, fingerprint images and features, card
// templates and photos) or one of their own (a browser policy): the bytes go to a new file beside the target, are flushed to disk, and
// only then is that file renamed over the target. A reader never sees half a file, a failure
// never leaves one under the target's name, and every failure is reported.
//
// One file per platform: file_writer_linux.cpp, file_writer_windows.cpp. Modes and the umask
// below are the Linux side's. On Windows paths reach the system as UTF-16, the flush is
// FlushFileBuffers and the rename MoveFileExW with write-through; a Document or Shared file
// gets the access rules its folder gives new files (a file it replaces does not pass its own
// on), and a Private file is open to the user and the system account alone.
#pragma once

#include <cstddef>
#include <string>

namespace lenvaro::files {

enum class FileAccess {
    // Documents (captures, PDFs, recordings, OCR output, signatures): a new file gets the mode
    // the user's umask gives (0666 less the umask, 0644 under the usual 022); a file it
    // replaces keeps its permission bits.
    Document,
    // Biometric data (fingerprint images, features, card templates) and card photos: 0600,
    // readable by the user alone, also where it replaces a file others could read.
    Private,
    // Files other programs must read whoever runs them (a browser's policy file): 0644,
    // whatever the umask and whatever it replaces.
    Shared,
};

// A new file beside `path` that becomes `path` on commit(). Until then the target is untouched;
// without a commit the new file is removed when this goes.
class AtomicFile {
public:
    // `temporarySuffix` ends the new file's name, for writers that insist on an extension.
    AtomicFile(std::string path, FileAccess access, const std::string& temporarySuffix = "");
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False when the new file could not be made (missing or read-only folder, a target that
    // is a folder or a device); error() says why.
#ifdef _WIN32
    bool ready() const { return handle_ != nullptr; }
#else
    bool ready() const { return fd_ >= 0; }
    // For writers that write through a descriptor or reopen the file by name (libharu, the OCR
    // engine): the content may come by either road before commit().
    int descriptor() const { return fd_; }
#endif
    const std::string& temporaryPath() const { return temporary_; }

    // Appends the bytes; false (and error() set) when they could not all be written.
    bool write(const void* data, size_t size);

    // Flushes the file to disk, closes it and renames it over the target. False, with error()
    // set and the target untouched, when any step fails.
    bool commit();

    // What failed, naming the target ("" while nothing did).
    const std::string& error() const { return error_; }

private:
    bool fail(const char* what, int errorNumber);

    std::string path_;
    std::string temporary_;
    std::string error_;
#ifdef _WIN32
    void* handle_ = nullptr;  // the new file's handle while it is open
#else
    int fd_ = -1;
#endif
    bool failed_ = false;
};

// Writes `size` bytes as the whole content of `path` through an AtomicFile. False on any
// failure, with the reason in `error` when given.
bool writeFileAtomically(const std::string& path, const void* data, size_t size, FileAccess access,
                         std::string* error = nullptr);

// For files a command writes beside its answer, when the answer has no place to say that the
// file failed (the fingerprint image and feature, a card's fingerprint template): writes like
// writeFileAtomically and reports a failure on standard error. An empty path writes nothing.
void writeFileOrReport(const std::string& path, const void* data, size_t size, FileAccess access);

namespace detail {
// Eight hex digits mixed from the process id, the clock and a counter, for the name of the new
// file beside the target (file_writer_*.cpp try another when the name is taken).
std::string temporaryNameTag(unsigned long processId);
}  // namespace detail

}  // namespace lenvaro::files
