// Iterative folder walk with opendir/readdir.
#include "files/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace lenvaro {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct Entry {
    std::string name;
    bool isFolder = false;
};

enum class Kind { File, Folder, Skip };

// What an entry is, looking through a link only to learn whether it leads to a folder.
Kind kindOf(int folderFd, const dirent& entry) {
    unsigned char type = entry.d_type;
    struct stat info {};
    if (type == DT_UNKNOWN) {
        if (fstatat(folderFd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return Kind::Skip;
        if (S_ISDIR(info.st_mode))
            type = DT_DIR;
        else if (S_ISLNK(info.st_mode))
            type = DT_LNK;
        else
            type = DT_REG;
    }
    if (type == DT_DIR) return Kind::Folder;
    if (type == DT_LNK) {
        // A dangling link is listed like a link to a file.
        if (fstatat(folderFd, entry.d_name, &info, 0) == 0 && S_ISDIR(info.st_mode)) {
            return Kind::Skip;
        }
    }
    return Kind::File;
}

// The entries of one folder sorted by the bytes of their names; false when it cannot be read.
// Below the walked folder, a folder that has become a link since it was listed is not opened.
bool readFolder(const std::string& path, bool followLink, std::vector<Entry>& entries) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    const int fd = open(path.c_str(), flags);
    if (fd < 0) return false;
    DirHandle dir(fdopendir(fd));
    if (!dir) {
        close(fd);
        return false;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const Kind kind = kindOf(fd, *entry);
        if (kind != Kind::Skip) entries.push_back({name, kind == Kind::Folder});
    }
    // std::string compares its bytes as unsigned values, which is byte order.
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return true;
}

struct Frame {
    std::string path;      // the folder as opened
    std::string relative;  // its path below the walked folder, "" or ending in "/"
    std::vector<Entry> entries;
    size_t next = 0;
};

}  // namespace

std::vector<FoundFile> listFilesRecursive(const std::string& folder) {
    std::vector<FoundFile> files;
    if (folder.empty()) return files;
    std::vector<Frame> stack(1);
    stack.back().path = folder;
    if (!readFolder(folder, true, stack.back().entries)) return files;

    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            continue;
        }
        Entry entry = std::move(top.entries[top.next++]);
        if (!entry.isFolder) {
            files.push_back({entry.name, top.relative + entry.name});
            continue;
        }
        if (entry.name[0] == '.') continue;
        Frame child;
        child.path = top.path + "/" + entry.name;
        child.relative = top.relative + entry.name + "/";
        // `top` is not used after this push, which may move it.
        if (readFolder(child.path, false, child.entries)) stack.push_back(std::move(child));
    }
    return files;
}

}  // namespace lenvaro
