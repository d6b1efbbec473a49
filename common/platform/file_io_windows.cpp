// File operations on the system's wide-character file services.
#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "common/file_io.h"
#include "common/windows_text.h"

namespace lenvaro {
namespace {

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid()) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    bool close() {
        const bool closed = CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE handle_;
};

DWORD attributesOf(const std::string& path) {
    if (path.empty()) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(internalToWide(path).c_str());
}

// Opens for reading a file that is a plain disk file: a pipe, a console or a device is refused.
HANDLE openRegularForReading(const std::string& path) {
    if (path.empty()) return INVALID_HANDLE_VALUE;
    HANDLE file = CreateFileW(internalToWide(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace

bool pathExists(const std::string& path) { return attributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool isDirectory(const std::string& path) {
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool regularFileSize(const std::string& path, uint64_t& size) {
    const Handle file(openRegularForReading(path));
    LARGE_INTEGER length{};
    if (!file.valid() || !GetFileSizeEx(file.get(), &length)) return false;
    size = static_cast<uint64_t>(length.QuadPart);
    return true;
}

bool removeFile(const std::string& path) {
    return !path.empty() && DeleteFileW(internalToWide(path).c_str()) != 0;
}

bool makeDirectory(const std::string& path) {
    return !path.empty() && CreateDirectoryW(internalToWide(path).c_str(), nullptr) != 0;
}

std::string resolvedPath(const std::string& path) {
    if (path.empty()) return "";
    // Opening the file itself (a folder too) and asking for its final name resolves links
    // and junctions on the way.
    const Handle file(CreateFileW(internalToWide(path).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return "";
    std::wstring name(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file.get(), &name[0], static_cast<DWORD>(name.size()), 0);
    if (length >= name.size()) {
        name.resize(length + 1);
        length = GetFinalPathNameByHandleW(file.get(), &name[0], static_cast<DWORD>(name.size()), 0);
    }
    if (length == 0 || length >= name.size()) return "";
    name.resize(length);
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        name = L"\\" + name.substr(7);
    } else if (name.rfind(L"\\\\?\\", 0) == 0) {
        name = name.substr(4);
    }
    return pathToInternal(name);
}

void keepFromChildProcesses(uintptr_t nativeHandle) {
    SetHandleInformation(reinterpret_cast<HANDLE>(nativeHandle), HANDLE_FLAG_INHERIT, 0);
}

const bool kReuseListenAddress = false;

void prepareListeningSocket(uintptr_t nativeHandle) {
    keepFromChildProcesses(nativeHandle);
    const BOOL on = TRUE;
    setsockopt(static_cast<SOCKET>(nativeHandle), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&on), sizeof on);
}

FILE* openFile(const std::string& path, const char* mode) {
    if (path.empty()) return nullptr;
    std::wstring wideMode;
    for (const char* m = mode; *m != '\0'; ++m) wideMode += static_cast<wchar_t>(*m);
    return _wfopen(internalToWide(path).c_str(), wideMode.c_str());
}

bool readRegularFile(const std::string& path, std::string& bytes) {
    const Handle file(openRegularForReading(path));
    LARGE_INTEGER length{};
    if (!file.valid() || !GetFileSizeEx(file.get(), &length)) return false;
    bytes.assign(static_cast<size_t>(length.QuadPart) + 1, '\0');
    size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - filled, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(file.get(), &bytes[filled], want, &got, nullptr)) return false;
        if (got == 0) break;
        filled += got;
    }
    bytes.resize(filled);
    return true;
}

bool readRegularFileStart(const std::string& path, uint8_t* buffer, size_t count) {
    const Handle file(openRegularForReading(path));
    if (!file.valid()) return false;
    size_t got = 0;
    while (got < count) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buffer + got, static_cast<DWORD>(count - got), &n, nullptr)) return false;
        if (n == 0) break;
        got += n;
    }
    return true;
}

bool writeFileBytes(const std::string& path, const void* bytes, size_t count, std::string* error) {
    if (path.empty()) {
        if (error != nullptr) *error = "empty path";
        return false;
    }
    // New files get the default security of their folder, which in the user's own folders
    // lets nobody else in.
    Handle file(CreateFileW(internalToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        if (error != nullptr) *error = systemErrorText(GetLastError());
        return false;
    }
    const auto* data = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
        if (!WriteFile(file.get(), data, chunk, &written, nullptr) || written == 0) {
            if (error != nullptr) *error = systemErrorText(GetLastError());
            return false;
        }
        data += written;
        count -= written;
    }
    if (!file.close()) {
        if (error != nullptr) *error = systemErrorText(GetLastError());
        return false;
    }
    return true;
}

}  // namespace lenvaro
