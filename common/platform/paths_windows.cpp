// Where the service finds itself and keeps its files, from the Windows kernel and shell.
#include <windows.h>
#include <shlobj.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "common/paths.h"
#include "common/windows_text.h"

namespace lenvaro {
namespace {

std::wstring withoutTrailingSeparators(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

std::wstring executablePathWide() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return L"";
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring temporaryFolderWide() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) return L"C:\\Windows\\Temp";
    return withoutTrailingSeparators(std::wstring(buffer, length));
}

bool removeTreeWide(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
    // A link or junction is removed itself, never followed.
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (!folder) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path.c_str()) != 0;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileW(path.c_str()) != 0;
    }
    bool allGone = true;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            allGone = removeTreeWide(path + L"\\" + name) && allGone;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(path.c_str()) != 0 && allGone;
}

}  // namespace

std::string moduleDirectory() {
    const std::wstring path = executablePathWide();
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return ".";
    return pathToInternal(path.substr(0, separator));
}

std::string temporaryFolder() { return pathToInternal(temporaryFolderWide()); }

// The user's temporary folder is the user's own on Windows; nothing better to look for.
std::string scratchParentFolder() { return temporaryFolder(); }

std::string documentsFolder() {
    wchar_t buffer[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, buffer) != S_OK) {
        return temporaryFolder();
    }
    return pathToInternal(withoutTrailingSeparators(buffer));
}

uint32_t tickCount() { return GetTickCount(); }

ScratchDirectory::ScratchDirectory(const std::string& parent) {
    const std::wstring parentWide = internalToWide(parent);
    std::random_device seed;
    std::mt19937 random(seed());
    const wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring name = L"lenvaro-";
        for (int i = 0; i < 6; ++i) name += letters[random() % 62];
        const std::wstring path = parentWide + L"\\" + name;
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            path_ = pathToInternal(path);
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("cannot create a scratch directory under " + parent);
}

ScratchDirectory::~ScratchDirectory() { removeTree(path_); }

bool removeTree(const std::string& path) { return removeTreeWide(internalToWide(path)); }

}  // namespace lenvaro
