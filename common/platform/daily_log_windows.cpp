// The daily log's file on Windows: opened with CreateFileW for appending and written through
// the C runtime's descriptor on that handle, with no allocation on the way (the crash handler
// writes here).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <ctime>

#include "common/daily_log.h"
#include "common/windows_text.h"

namespace lenvaro {
namespace {

// Seconds between 1601-01-01 (FILETIME) and 1970-01-01.
constexpr unsigned long long kEpochDifference = 11644473600ULL;

// The text in the internal code page as UTF-16, into a fixed buffer (no allocation).
bool widen(const char* text, wchar_t* out, int capacity) {
    const int units = MultiByteToWideChar(internalCodePageNumber(), 0, text, -1, out, capacity);
    return units > 0;
}

}  // namespace

namespace detail {

timespec realtimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    timespec result{};
    result.tv_sec = static_cast<time_t>(ticks / 10000000ULL - kEpochDifference);
    result.tv_nsec = static_cast<long>(ticks % 10000000ULL * 100);
    return result;
}

void writeLogBytes(int fd, const char* data, size_t size) {
    while (size > 0) {
        const int written = _write(fd, data, static_cast<unsigned>(size));
        if (written <= 0) return;  // write errors are ignored, as for any log line
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void sleepTenMilliseconds() { Sleep(10); }

}  // namespace detail

long utcOffsetAt(time_t when) {
    __time64_t at = when;
    const tm* local = _localtime64(&at);
    if (local == nullptr) return 0;
    tm copy = *local;
    return static_cast<long>(_mkgmtime64(&copy) - at);
}

DailyLog::~DailyLog() {
    const int fd = fd_.exchange(-1);
    if (fd >= 0) _close(fd);
}

int DailyLog::openFile() {
    wchar_t folder[1024];
    if (!widen(folder_.c_str(), folder, 1000)) return -1;
    CreateDirectoryW(folder, nullptr);
    const timespec now = detail::realtimeNow();
    char name[32];
    formatLogFileName(name, sizeof name, localTimeAt(now, utcOffset_.load()));
    wchar_t path[1100];
    int length = 0;
    while (folder[length] != L'\0') {
        path[length] = folder[length];
        ++length;
    }
    path[length++] = L'\\';
    for (const char* c = name; *c != '\0'; ++c) path[length++] = static_cast<wchar_t>(*c);
    path[length] = L'\0';
    // Appends only; others may read it, and a second process of the same day (a crashing one
    // and its relaunch) may append too: each line is one write at the end.
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (fd < 0) CloseHandle(file);
    return fd;
}

}  // namespace lenvaro
