// The daily log's lines: time stamps, line format, banner and the opening of the file at the
// first line. What touches the file system is in daily_log.cpp (Linux) and
// daily_log_windows.cpp.
#include "common/daily_log.h"

#include "common/code_page.h"
#include "common/paths.h"

namespace lenvaro {
namespace {

// The banner that opens the log in every process that writes to it. Kept byte for byte as
// readers of these logs know it; the build stamp is this file's compile date and time.
constexpr const char* kBannerTitleUtf8 =
    "******************打开日志，分割线   DLL  V3.3.5.98  20181219 *******************";
constexpr const char* kBannerBuiltUtf8 = "最后编译时间 - " __DATE__ " - " __TIME__ "\n";

constexpr long kSecondsPerDay = 86400;

long long floorDivide(long long value, long long divisor) {
    long long quotient = value / divisor;
    if ((value % divisor != 0) && ((value < 0) != (divisor < 0))) --quotient;
    return quotient;
}

// Writes value in decimal, at least minDigits digits (zero padded), at p; returns the end.
char* putDecimal(char* p, long long value, int minDigits) {
    if (value < 0) {
        *p++ = '-';
        value = -value;
    }
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < minDigits) digits[count++] = '0';
    while (count > 0) *p++ = digits[--count];
    return p;
}

}  // namespace

LocalTime localTimeAt(const timespec& now, long utcOffsetSeconds) {
    const long long seconds = static_cast<long long>(now.tv_sec) + utcOffsetSeconds;
    const long long days = floorDivide(seconds, kSecondsPerDay);
    const long long secondOfDay = seconds - days * kSecondsPerDay;

    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar, eras of 400 years).
    const long long shifted = days + 719468;
    const long long era = floorDivide(shifted, 146097);
    const long long dayOfEra = shifted - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthIndex = (5 * dayOfYear + 2) / 153;  // March = 0
    LocalTime time;
    time.day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    time.month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    time.year = static_cast<int>(yearOfEra + era * 400 + (time.month <= 2 ? 1 : 0));
    time.hour = static_cast<int>(secondOfDay / 3600);
    time.minute = static_cast<int>(secondOfDay % 3600 / 60);
    time.second = static_cast<int>(secondOfDay % 60);
    time.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return time;
}

size_t formatLogLine(char* out, size_t capacity, const LocalTime& time, const char* text) {
    if (capacity == 0) return 0;
    const size_t limit = capacity - 1 < kMaxLogLineBytes ? capacity - 1 : kMaxLogLineBytes;

    char stamp[96];
    char* p = stamp;
    p = putDecimal(p, time.year, 4);
    *p++ = '-';
    p = putDecimal(p, time.month, 2);
    *p++ = '-';
    p = putDecimal(p, time.day, 2);
    *p++ = ' ';
    p = putDecimal(p, time.hour, 2);
    *p++ = ':';
    p = putDecimal(p, time.minute, 2);
    *p++ = ':';
    p = putDecimal(p, time.second, 2);
    *p++ = ':';
    p = putDecimal(p, time.millisecond, 1);
    *p++ = ':';
    *p++ = ' ';

    // Room for the body: everything but the CR LF that ends the line.
    const size_t body = limit >= 2 ? limit - 2 : 0;
    size_t length = 0;
    for (const char* s = stamp; s < p && length < body; ++s) out[length++] = *s;
    for (const char* s = text != nullptr ? text : ""; *s != '\0'; ++s) {
        if (*s == '\n') {
            if (length + 2 > body) break;
            out[length++] = '\r';
            out[length++] = '\n';
        } else {
            if (length + 1 > body) break;
            out[length++] = *s;
        }
    }
    if (limit >= 2) {
        out[length++] = '\r';
        out[length++] = '\n';
    }
    out[length] = '\0';
    return length;
}

size_t formatLogFileName(char* out, size_t capacity, const LocalTime& time) {
    char name[48];
    char* p = name;
    p = putDecimal(p, time.year, 4);
    *p++ = '-';
    p = putDecimal(p, time.month, 2);
    *p++ = '-';
    p = putDecimal(p, time.day, 2);
    for (const char* s = ".log"; *s != '\0'; ++s) *p++ = *s;
    size_t length = static_cast<size_t>(p - name);
    if (capacity == 0) return 0;
    if (length > capacity - 1) length = capacity - 1;
    for (size_t i = 0; i < length; ++i) out[i] = name[i];
    out[length] = '\0';
    return length;
}

std::string dailyLogFolder() { return temporaryFolder() + "/Lenvaro1"; }

DailyLog& DailyLog::instance() {
    // Never destroyed: a crash during static destruction still finds its log.
    static DailyLog* const log = new DailyLog(dailyLogFolder());
    return *log;
}

DailyLog::DailyLog(std::string folder) : DailyLog(std::move(folder), internalCodePage()) {}

DailyLog::DailyLog(std::string folder, const std::string& codePage)
    : folder_(std::move(folder)),
      bannerTitle_(utf8ToCodePage(kBannerTitleUtf8, codePage)),
      bannerBuilt_(utf8ToCodePage(kBannerBuiltUtf8, codePage)) {
    refreshUtcOffset();
}

void DailyLog::refreshUtcOffset() { utcOffset_.store(utcOffsetAt(::time(nullptr))); }

void DailyLog::writeFormatted(int fd, const char* text) {
    const timespec now = detail::realtimeNow();
    char line[kMaxLogLineBytes + 1];
    const size_t length = formatLogLine(line, sizeof line, localTimeAt(now, utcOffset_.load()), text);
    // One write per line on an O_APPEND descriptor: lines from two processes of the same day
    // (a crashing one and its relaunch) never interleave.
    detail::writeLogBytes(fd, line, length);
}

void DailyLog::writeLine(const char* text) {
    int fd = -1;
    int expected = kClosed;
    if (state_.compare_exchange_strong(expected, kOpening)) {
        fd = openFile();
        if (fd >= 0) {
            writeFormatted(fd, bannerTitle_.c_str());
            writeFormatted(fd, bannerBuilt_.c_str());
        }
        fd_.store(fd);
        state_.store(kReady);
    } else {
        // Another thread is opening the file (two threads crashing at once): give it a moment.
        for (int waited = 0; state_.load() != kReady && waited < 200; ++waited) {
            detail::sleepTenMilliseconds();
        }
        if (state_.load() != kReady) return;
        fd = fd_.load();
    }
    if (fd >= 0) writeFormatted(fd, text);
}

}  // namespace lenvaro
