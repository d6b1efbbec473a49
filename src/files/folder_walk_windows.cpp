// Iterative folder walk with the wide-character file search (FindFirstFileW, FindNextFileW).
#include <windows.h>

#include <utility>

#include "common/windows_text.h"
#include "files/folder_walk.h"

namespace lenvaro {
namespace {

struct Entry {
    std::wstring name;      // as the file system holds it
    std::wstring pathName;  // the name to build paths with: the short name when the long one
                            // does not survive the internal code page
    bool isFolder = false;
};

// The entries of one folder in the order the search gives them; false when it cannot be read.
// Links and junctions to folders are left out, so the walk cannot go round in circles.
bool readFolder(const std::wstring& path, std::vector<Entry>& entries) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*.*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        Entry entry;
        entry.name = found.cFileName;
        if (entry.name == L"." || entry.name == L"..") continue;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (folder && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
        entry.isFolder = folder;
        entry.pathName = entry.name;
        if (!representableInInternal(entry.name) && found.cAlternateFileName[0] != L'\0') {
            entry.pathName = found.cAlternateFileName;
        }
        entries.push_back(std::move(entry));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

struct Frame {
    std::wstring path;     // the folder as searched
    std::string relative;  // its path below the walked folder, "" or ending in "\"
    std::vector<Entry> entries;
    size_t next = 0;
};

}  // namespace

std::vector<FoundFile> listFilesRecursive(const std::string& folder) {
    std::vector<FoundFile> files;
    if (folder.empty()) return files;
    // The folder text is widened with the internal code page; below it the walk goes on with
    // the names as the search gave them, so folders whose names the code page cannot spell are
    // walked all the same.
    std::vector<Frame> stack(1);
    stack.back().path = internalToWide(folder);
    if (!readFolder(stack.back().path, stack.back().entries)) return files;

    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            continue;
        }
        Entry entry = std::move(top.entries[top.next++]);
        if (!entry.isFolder) {
            // The listed name is the long name in the code page (characters it lacks become its
            // default character); the path to the file is one the code page can spell.
            files.push_back({wideToInternal(entry.name), top.relative + wideToInternal(entry.pathName)});
            continue;
        }
        if (entry.name[0] == L'.') continue;
        Frame child;
        child.path = top.path + L"\\" + entry.name;
        child.relative = top.relative + wideToInternal(entry.pathName) + "\\";
        // `top` is not used after this push, which may move it.
        if (readFolder(child.path, child.entries)) stack.push_back(std::move(child));
    }
    return files;
}

}  // namespace lenvaro
