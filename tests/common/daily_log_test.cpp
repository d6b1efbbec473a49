#include "common/daily_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "common/code_page.h"
#include "common/paths.h"
#include "test_files.h"

namespace lenvaro {
namespace {

using lenvaro::testing::readWholeFile;

std::string todaysFileName() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char name[32];
    formatLogFileName(name, sizeof name, localTimeAt(now, utcOffsetAt(now.tv_sec)));
    return name;
}

std::string format(const LocalTime& time, const std::string& text, size_t capacity = 2048) {
    std::vector<char> buffer(capacity);
    const size_t length = formatLogLine(buffer.data(), buffer.size(), time, text.c_str());
    EXPECT_EQ(buffer[length], '\0');
    return std::string(buffer.data(), length);
}

LocalTime at(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    LocalTime time;
    time.year = year;
    time.month = month;
    time.day = day;
    time.hour = hour;
    time.minute = minute;
    time.second = second;
    time.millisecond = millisecond;
    return time;
}

TEST(LogClock, AgreesWithTheCalendarAcrossLeapYearsAndOffsets) {
    // Instants around leap days, century years, the epoch and before it, each shifted by
    // offsets east and west of UTC that move the date.
    const time_t instants[] = {0, -1, 951782400 /* 2000-02-29 */, 951868799, 4107542400 /* 2100-03-01 */,
                               1566378183, -2208988800 /* 1900-01-01 */, 1709251199, 253402300799};
    const long offsets[] = {0, 8 * 3600, -5 * 3600, 14 * 3600, -12 * 3600, 5 * 3600 + 1800};
    for (const time_t instant : instants) {
        for (const long offset : offsets) {
            const time_t shifted = instant + offset;
            tm expected{};
            ASSERT_NE(gmtime_r(&shifted, &expected), nullptr);
            const LocalTime got = localTimeAt(timespec{instant, 7000000}, offset);
            SCOPED_TRACE(std::to_string(instant) + " offset " + std::to_string(offset));
            EXPECT_EQ(got.year, expected.tm_year + 1900);
            EXPECT_EQ(got.month, expected.tm_mon + 1);
            EXPECT_EQ(got.day, expected.tm_mday);
            EXPECT_EQ(got.hour, expected.tm_hour);
            EXPECT_EQ(got.minute, expected.tm_min);
            EXPECT_EQ(got.second, expected.tm_sec);
            EXPECT_EQ(got.millisecond, 7);
        }
    }
}

TEST(LogClock, UsesTheTimeZoneOffsetOfTheSystem) {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const LocalTime got = localTimeAt(timespec{now, 0}, utcOffsetAt(now));
    EXPECT_EQ(got.year, local.tm_year + 1900);
    EXPECT_EQ(got.day, local.tm_mday);
    EXPECT_EQ(got.hour, local.tm_hour);
    EXPECT_EQ(got.minute, local.tm_min);
}

TEST(LogLineFormat, StampsDateTimeAndUnpaddedMilliseconds) {
    EXPECT_EQ(format(at(2019, 8, 21, 9, 5, 3, 7), "GenerateMiniDump"),
              "2019-08-21 09:05:03:7: GenerateMiniDump\r\n");
    EXPECT_EQ(format(at(2024, 12, 31, 23, 59, 59, 999), "x"), "2024-12-31 23:59:59:999: x\r\n");
    EXPECT_EQ(format(at(2024, 1, 2, 0, 0, 0, 0), ""), "2024-01-02 00:00:00:0: \r\n");
    char name[32];
    EXPECT_EQ(formatLogFileName(name, sizeof name, at(2019, 8, 21, 9, 5, 3, 7)), 14u);
    EXPECT_STREQ(name, "2019-08-21.log");
}

TEST(LogLineFormat, WritesEveryLineFeedAsCrLf) {
    EXPECT_EQ(format(at(2019, 8, 21, 16, 33, 11, 0), "built - Aug 21 2019 - 16:33:11\n"),
              "2019-08-21 16:33:11:0: built - Aug 21 2019 - 16:33:11\r\n\r\n");
    EXPECT_EQ(format(at(2019, 8, 21, 16, 33, 11, 0), "a\nb"), "2019-08-21 16:33:11:0: a\r\nb\r\n");
}

TEST(LogLineFormat, CutsLongTextButKeepsTheLineEnd) {
    const LocalTime time = at(2019, 8, 21, 9, 5, 3, 7);
    const std::string stamp = "2019-08-21 09:05:03:7: ";

    const std::string line = format(time, std::string(5000, 'x'));
    ASSERT_EQ(line.size(), kMaxLogLineBytes);
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    EXPECT_EQ(line.compare(0, stamp.size(), stamp), 0);
    EXPECT_EQ(line.find_first_not_of('x', stamp.size()), line.size() - 2);

    // A text that just fits is not cut.
    const std::string fits(kMaxLogLineBytes - stamp.size() - 2, 'y');
    EXPECT_EQ(format(time, fits), stamp + fits + "\r\n");
    EXPECT_EQ(format(time, fits + "z"), stamp + fits + "\r\n");

    // A line feed that no longer fits whole is dropped, never half written.
    std::string withFeed(kMaxLogLineBytes - stamp.size() - 3, 'y');
    EXPECT_EQ(format(time, withFeed + "\nmore"), stamp + withFeed + "\r\n");

    // A small buffer still gets a terminated line with its end.
    EXPECT_EQ(format(time, "abcdef", 16), "2019-08-21 09\r\n");
}

class DailyLogFile : public ::testing::Test {
protected:
    std::string folder() const { return root_.file("Lenvaro1"); }
    std::string logPath() const { return folder() + "/" + todaysFileName(); }

    // Lines of the file split at CR LF.
    std::vector<std::string> linesOf(const std::string& content) {
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = content.find("\r\n", start)) != std::string::npos; start = end + 2) {
            lines.push_back(content.substr(start, end - start));
        }
        EXPECT_EQ(start, content.size()) << "the file ends inside a line";
        return lines;
    }

    ScratchDirectory root_;
};

const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{1,3}: )";

TEST_F(DailyLogFile, FirstLineCreatesFolderAndFileAfterTheBanner) {
    DailyLog log(folder());
    struct stat info;
    EXPECT_NE(stat(folder().c_str(), &info), 0) << "nothing is made before the first line";

    log.writeLine("GenerateMiniDump");
    log.writeLine("/opt/lenvaro-server/bin/lenvaro-server");

    ASSERT_EQ(stat(folder().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    const std::string content = readWholeFile(logPath());
    const std::regex expected(
        kStamp + R"(\*{18}打开日志，分割线   DLL  V3\.3\.5\.98  20181219 \*{19}\r\n)" +
        kStamp + R"(最后编译时间 - [A-Z][a-z]{2} [ \d]\d \d{4} - \d\d:\d\d:\d\d\r\n\r\n)" +
        kStamp + R"(GenerateMiniDump\r\n)" +
        kStamp + R"(/opt/lenvaro-server/bin/lenvaro-server\r\n)");
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
    // Every stamp carries the date of the file's name.
    const std::string date = todaysFileName().substr(0, 10);
    for (const std::string& line : linesOf(content)) {
        if (!line.empty()) {
            EXPECT_EQ(line.substr(0, 10), date);
        }
    }
}

TEST_F(DailyLogFile, ALaterProcessOfTheSameDayAppendsItsOwnBanner) {
    {
        DailyLog first(folder());
        first.writeLine("one");
    }
    DailyLog second(folder());
    second.writeLine("two");
    const std::vector<std::string> lines = linesOf(readWholeFile(logPath()));
    ASSERT_EQ(lines.size(), 8u);
    const std::regex title(kStamp + R"(\*{18}打开日志.*)");
    EXPECT_TRUE(std::regex_match(lines[0], title));
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(kStamp + "one")));
    EXPECT_TRUE(std::regex_match(lines[4], title));
    EXPECT_TRUE(std::regex_match(lines[7], std::regex(kStamp + "two")));
}

TEST_F(DailyLogFile, BannerIsWrittenInTheInternalCodePage) {
    const std::string previous = internalCodePage();
    setInternalCodePage("GBK");
    DailyLog log(folder());
    setInternalCodePage(previous);
    log.writeLine("x");
    const std::string content = readWholeFile(logPath());
    // 打开日志 in GBK, then the full-width comma and 分割线.
    EXPECT_NE(content.find("*\xB4\xF2\xBF\xAA\xC8\xD5\xD6\xBE\xA3\xAC\xB7\xD6\xB8\xEE\xCF\xDF   DLL"),
              std::string::npos);
    EXPECT_EQ(content.find("\xE6\x89\x93"), std::string::npos) << "no UTF-8 left";
}

TEST_F(DailyLogFile, ThreadsWritingAtOnceShareOneBannerAndWholeLines) {
    DailyLog log(folder());
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([&log, t] {
            const std::string text = "writer " + std::to_string(t);
            for (int i = 0; i < 50; ++i) log.writeLine(text.c_str());
        });
    }
    for (auto& writer : writers) writer.join();
    const std::vector<std::string> lines = linesOf(readWholeFile(logPath()));
    ASSERT_EQ(lines.size(), 3u + 8 * 50);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kStamp + R"(\*{18}打开日志.*)")));
    const std::regex writerLine(kStamp + "writer [0-7]");
    for (size_t i = 3; i < lines.size(); ++i) EXPECT_TRUE(std::regex_match(lines[i], writerLine)) << lines[i];
}

TEST_F(DailyLogFile, StaysSilentWhenTheFolderCannotBeMade) {
    DailyLog log(root_.file("missing/parent/Lenvaro1"));
    log.writeLine("lost");
    log.writeLine("lost too");
    struct stat info;
    EXPECT_NE(stat(root_.file("missing").c_str(), &info), 0);
}

TEST_F(DailyLogFile, RefusesAFolderOrFileReachedThroughASymbolicLink) {
    const std::string elsewhere = root_.file("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);

    // The folder itself planted as a link.
    ASSERT_EQ(symlink(elsewhere.c_str(), folder().c_str()), 0);
    DailyLog throughFolderLink(folder());
    throughFolderLink.writeLine("steered");
    EXPECT_NE(access((elsewhere + "/" + todaysFileName()).c_str(), F_OK), 0);

    // The day's file planted as a link to a file of someone's choosing.
    ASSERT_EQ(unlink(folder().c_str()), 0);
    ASSERT_EQ(mkdir(folder().c_str(), 0700), 0);
    const std::string victim = elsewhere + "/victim";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(symlink(victim.c_str(), logPath().c_str()), 0);
    DailyLog throughFileLink(folder());
    throughFileLink.writeLine("steered");
    EXPECT_EQ(readWholeFile(victim), "keep");
}

}  // namespace
}  // namespace lenvaro
