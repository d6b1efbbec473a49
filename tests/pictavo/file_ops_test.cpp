// The file work the library really does today: FileEncodeBase64 and camDeleteFile, called
// through the C interface.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "pictavo.h"
#include "pictavo/status.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using pictavo::kFileError;
using pictavo::kInvalidArgument;
using pictavo::kOk;
using pictavo_test::TempDir;

// Bytes 0, 1, 2, ... count - 1.
std::string counting(size_t count) {
    std::string bytes;
    for (size_t i = 0; i < count; ++i) bytes += static_cast<char>(i);
    return bytes;
}

// 56 bytes make exactly 76 characters, the last group padded; 57 make 19 whole groups and the
// line break that follows every 76 characters; 58 start a second line.
TEST(FileEncodeBase64, BreaksLinesAfterEvery76CharactersOfWholeGroups) {
    TempDir dir;
    const std::string line76 =
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4";
    const struct {
        size_t size;
        std::string expected;
    } cases[] = {
        {0, ""},
        {56, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc="},
        {57, line76 + "\r\n"},
        {58, line76 + "\r\nOQ=="},
    };
    for (const auto& c : cases) {
        const std::string path = dir.write("f" + std::to_string(c.size), counting(c.size));
        const char* text = FileEncodeBase64(path.c_str());
        ASSERT_NE(text, nullptr) << c.size;
        EXPECT_EQ(std::string(text), c.expected) << c.size << " bytes";
    }
}

TEST(FileEncodeBase64, EncodesBinaryContentWholeIncludingZeroBytes) {
    TempDir dir;
    const std::string path = dir.write("zeros.bin", std::string("\0\0\xff", 3));
    EXPECT_STREQ(FileEncodeBase64(path.c_str()), "AAD/");
}

TEST(FileEncodeBase64, AnythingButAReadableRegularFileGivesEmptyText) {
    TempDir dir;
    for (const std::string& path :
         {dir.file("missing.bin"), dir.path().string(), std::string(), std::string("/dev/null")}) {
        const char* text = FileEncodeBase64(path.c_str());
        ASSERT_NE(text, nullptr) << path;
        EXPECT_STREQ(text, "") << path;
    }
}

// Reading a pipe (or a device such as /dev/zero) would wait for a writer, or never end.
TEST(FileEncodeBase64, DoesNotReadFromAPipe) {
    TempDir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::promise<std::string> promise;
    std::future<std::string> text = promise.get_future();
    std::thread reader([&] { promise.set_value(FileEncodeBase64(fifo.c_str())); });
    const bool finished = text.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // Should the reader be stuck waiting for a writer, a writer that leaves at once frees it.
    while (text.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    reader.join();
    EXPECT_TRUE(finished) << "FileEncodeBase64 waited on a pipe";
    EXPECT_EQ(text.get(), "");
}

TEST(CamDeleteFile, RemovesARegularFile) {
    TempDir dir;
    const std::string path = dir.write("doomed.jpg", "jpeg");
    EXPECT_EQ(camDeleteFile(path.c_str()), kOk);
    EXPECT_FALSE(fs::exists(path));
}

TEST(CamDeleteFile, RejectsAMissingPathOrFile) {
    TempDir dir;
    EXPECT_EQ(camDeleteFile(nullptr), kInvalidArgument);
    EXPECT_EQ(camDeleteFile(""), kInvalidArgument);
    EXPECT_EQ(camDeleteFile(dir.file("never-there.jpg").c_str()), kFileError);

    const std::string path = dir.write("once.jpg", "jpeg");
    EXPECT_EQ(camDeleteFile(path.c_str()), kOk);
    EXPECT_EQ(camDeleteFile(path.c_str()), kFileError) << "a second delete finds nothing";
}

TEST(CamDeleteFile, LeavesDirectoriesAndPipesAlone) {
    TempDir dir;
    const fs::path empty = dir.path() / "empty";
    fs::create_directory(empty);
    dir.write("full/inside.txt", "kept");
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    EXPECT_EQ(camDeleteFile(empty.c_str()), kFileError);
    EXPECT_EQ(camDeleteFile(dir.file("full").c_str()), kFileError);
    EXPECT_EQ(camDeleteFile(fifo.c_str()), kFileError);
    EXPECT_TRUE(fs::is_directory(empty));
    EXPECT_TRUE(fs::exists(dir.file("full/inside.txt")));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(CamDeleteFile, RemovesASymbolicLinkButNotItsTarget) {
    TempDir dir;
    const std::string target = dir.write("target.jpg", "jpeg");
    const std::string link = dir.file("link.jpg");
    fs::create_symlink(target, link);
    EXPECT_EQ(camDeleteFile(link.c_str()), kOk);
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists(target));

    const std::string dangling = dir.file("dangling");
    fs::create_symlink(dir.path() / "nothing", dangling);
    EXPECT_EQ(camDeleteFile(dangling.c_str()), kOk) << "a dangling link is still a link";
    EXPECT_FALSE(fs::is_symlink(dangling));
}

TEST(CamDeleteFile, ReportsAFileThatCannotBeRemoved) {
    if (geteuid() == 0) GTEST_SKIP() << "directory permissions do not bind root";
    TempDir dir;
    const std::string path = dir.write("locked/kept.jpg", "jpeg");
    const fs::path locked = dir.path() / "locked";
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(camDeleteFile(path.c_str()), kFileError);
    EXPECT_TRUE(fs::exists(path));
    fs::permissions(locked, fs::perms::owner_all);
}

}  // namespace
