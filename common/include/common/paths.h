// Where the service finds itself and keeps its files: module directory, temporary folder, the
// private scratch directory, the user's documents folder, and the millisecond tick count.
// paths_linux.cpp as described below; paths_windows.cpp from the kernel and shell (the module
// file name, GetTempPathW, the Documents folder, GetTickCount), paths in the internal code page
// or, where it cannot spell them, by their short names.
#pragma once

#include <cstdint>
#include <string>

namespace lenvaro {

// Directory of the running executable (/proc/self/exe, symbolic links resolved), no trailing
// separator.
std::string moduleDirectory();

// $TMPDIR when set and not empty, else /tmp; no trailing separator.
std::string temporaryFolder();

// Where the service makes its private scratch directory: the user's runtime folder
// ($XDG_RUNTIME_DIR) when it is an absolute path to a directory of this user's that nobody
// else may enter, else temporaryFolder(). The runtime folder lives in memory on desktops: the
// preview file written at camera rate and the ID card photo never reach the disk.
std::string scratchParentFolder();

// The user's documents folder: XDG_DOCUMENTS_DIR from the user's user-dirs.dirs, else
// $HOME/Documents. No trailing separator.
std::string documentsFolder();

// Milliseconds of the monotonic clock, wrapping as a 32-bit value.
uint32_t tickCount();

// A directory only this user can enter (mode 0700), made with mkdtemp under the temporary folder
// and removed with everything in it when the owner goes. The service's own temporary files live
// here, so no other local user can plant a link under a name we are about to write.
class ScratchDirectory {
public:
    // Throws std::runtime_error when the directory cannot be made.
    explicit ScratchDirectory(const std::string& parent = temporaryFolder());
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    // Path of a file inside the directory.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Removes a directory tree without following symbolic links; returns false if anything stayed.
bool removeTree(const std::string& path);

}  // namespace lenvaro
