// The walk over a folder tree behind the folder listing and deletion commands.
#pragma once

#include <string>
#include <vector>

namespace lenvaro {

struct FoundFile {
    std::string name;          // the bare file name, as the listing shows it
    std::string relativePath;  // from the walked folder: "x.jpg", "sub/x.jpg"
};

// Every file under `folder`, depth first: each folder's entries in byte order of their names,
// a subfolder's files where the subfolder's name falls. Folders whose name begins with "." are
// not entered (hidden files are listed); symbolic links to folders are neither entered nor
// listed, so a link to a parent cannot make the walk go round; folders that cannot be read are
// skipped without a word. Anything else (files, links to files) is listed. `folder` itself may
// be a link. The walk keeps its own stack, so the depth of the tree cannot exhaust the thread's
// stack; paths longer than the system allows are skipped like unreadable folders. Names are
// bytes as the file system holds them, which is the internal code page of the locale.
// On Windows (folder_walk_windows.cpp) the walk uses the wide-character file search: entries
// come in the order the search gives them, links and junctions to folders are skipped, names
// are converted to the internal code page (characters it lacks become its default character),
// and relativePath names a file the code page cannot spell by its short name, with "\".
std::vector<FoundFile> listFilesRecursive(const std::string& folder);

}  // namespace lenvaro
