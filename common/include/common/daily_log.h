// The daily log: one append-only text file per day in <temporary folder>/Lenvaro1, opened on
// its first line and kept open. The service's crash handler writes to it, so writing a line is
// async-signal-safe: no allocation, no locks, no stdio. The built-in capture library links this
// file too and tells configuration problems there, in the same folder and line format.
#pragma once

#include <time.h>

#include <atomic>
#include <cstddef>
#include <string>

namespace lenvaro {

// Local calendar time to the millisecond.
struct LocalTime {
    int year = 1970;
    int month = 1;  // 1-12
    int day = 1;    // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The wall-clock time `now` shifted by a known UTC offset, broken down by arithmetic alone
// (localtime_r may take locks and read files, which a signal handler must not).
LocalTime localTimeAt(const timespec& now, long utcOffsetSeconds);

// The offset of local time from UTC at `when`, as the time zone database says (not
// async-signal-safe).
long utcOffsetAt(time_t when);

// Longest line on disk, line end included.
constexpr size_t kMaxLogLineBytes = 2047;

// Formats "YYYY-MM-DD HH:MM:SS:ms: text" followed by CR LF into out (capacity bytes, zero
// terminated). Milliseconds are not padded (7 stays 7). A line feed inside the text is
// written as CR LF, so every line of the file ends the same way. The text is cut so that the
// whole line, its CR LF included, fits min(capacity - 1, kMaxLogLineBytes) bytes: a long text
// never swallows its line end. Returns the line's length.
size_t formatLogLine(char* out, size_t capacity, const LocalTime& time, const char* text);

// "YYYY-MM-DD.log" into out (at least 16 bytes). Returns the length.
size_t formatLogFileName(char* out, size_t capacity, const LocalTime& time);

// <temporary folder>/Lenvaro1: the day's log of the service and of the built-in library.
std::string dailyLogFolder();

// What the log needs of the platform (daily_log.cpp on Linux, daily_log_windows.cpp); each is
// safe in a crash handler.
namespace detail {
timespec realtimeNow();
void writeLogBytes(int fd, const char* data, size_t size);  // errors are ignored
void sleepTenMilliseconds();
}  // namespace detail

class DailyLog {
public:
    // The process's log in <temporary folder>/Lenvaro1. The first call prepares it (folder
    // path, banner in the internal code page, local time offset) and must come from ordinary
    // code before any signal handler relies on it; the file is opened at the first line.
    static DailyLog& instance();

    // A log in `folder` (tests). Set the internal code page before: the banner is converted
    // here.
    explicit DailyLog(std::string folder);
    // A log in `folder` whose banner is written in `codePage` (iconv's name), the character set
    // of the lines written to it: how the built-in library, which has no internal code page of
    // the service's, makes its own.
    DailyLog(std::string folder, const std::string& codePage);
    DailyLog(const DailyLog&) = delete;
    DailyLog& operator=(const DailyLog&) = delete;
    ~DailyLog();

    // Writes one time-stamped line (text in the internal code page) and hands it to the
    // system at once. The first line of the process creates the folder and the day's file and
    // writes the two banner lines before it. Does nothing when the file could not be opened.
    // Async-signal-safe, and safe from several threads at once.
    void writeLine(const char* text);

    // Re-reads the local time offset (for a change of daylight saving time while running).
    // Ordinary code only; the host calls it from its loop.
    void refreshUtcOffset();

    const std::string& folder() const { return folder_; }

private:
    int openFile();  // the day's file, or -1
    void writeFormatted(int fd, const char* text);

    enum : int { kClosed = 0, kOpening = 1, kReady = 2 };

    std::string folder_;
    std::string bannerTitle_;    // both in the internal code page, prepared up front
    std::string bannerBuilt_;
    std::atomic<long> utcOffset_{0};
    std::atomic<int> state_{kClosed};
    std::atomic<int> fd_{-1};
};

}  // namespace lenvaro
