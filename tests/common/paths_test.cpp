#include "common/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "scoped_environment.h"

namespace lenvaro {
namespace {

using testing::ScopedEnvironment;

TEST(ScratchDirectory, IsPrivateAndRemovedWithItsContents) {
    std::string path;
    {
        ScratchDirectory scratch;
        path = scratch.path();
        struct stat info{};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        std::ofstream(scratch.file("a.jpg")) << "x";
        ASSERT_EQ(mkdir(scratch.file("sub").c_str(), 0700), 0);
        std::ofstream(scratch.file("sub/b")) << "y";
        ASSERT_EQ(symlink("/etc/hostname", scratch.file("link").c_str()), 0);
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(access("/etc/hostname", F_OK), 0);  // the link's target survives
}

TEST(ScratchDirectory, TwoAreDistinctAndAFailureThrows) {
    ScratchDirectory a, b;
    EXPECT_NE(a.path(), b.path());
    EXPECT_THROW(ScratchDirectory("/nonexistent-folder-for-test"), std::runtime_error);
}

TEST(TemporaryFolder, FollowsTmpdir) {
    {
        ScopedEnvironment tmp("TMPDIR", "/var/tmp/");
        EXPECT_EQ(temporaryFolder(), "/var/tmp");
    }
    {
        ScopedEnvironment tmp("TMPDIR", "");
        EXPECT_EQ(temporaryFolder(), "/tmp");
    }
    {
        ScopedEnvironment tmp("TMPDIR", nullptr);
        EXPECT_EQ(temporaryFolder(), "/tmp");
    }
}

TEST(ScratchParentFolder, TakesOnlyAPrivateRuntimeFolderOfThisUser) {
    ScopedEnvironment tmp("TMPDIR", nullptr);
    ScratchDirectory base;  // made 0700 by us
    {
        ScopedEnvironment runtime("XDG_RUNTIME_DIR", (base.path() + "/").c_str());
        EXPECT_EQ(scratchParentFolder(), base.path());
    }
    {
        // Others may enter: not private, so not used.
        const std::string shared = base.file("shared");
        ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
        ScopedEnvironment runtime("XDG_RUNTIME_DIR", shared.c_str());
        EXPECT_EQ(scratchParentFolder(), "/tmp");
    }
    for (const char* unusable : {"relative/run", "/nonexistent-runtime-folder", "", "/etc/hostname"}) {
        ScopedEnvironment runtime("XDG_RUNTIME_DIR", unusable);
        EXPECT_EQ(scratchParentFolder(), "/tmp") << unusable;
    }
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(scratchParentFolder(), "/tmp");
}

TEST(DocumentsFolder, ReadsTheXdgSettingElseHomeDocuments) {
    ScratchDirectory home;
    ScopedEnvironment homeVar("HOME", home.path().c_str());
    ScopedEnvironment config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(documentsFolder(), home.path() + "/Documents");

    ASSERT_EQ(mkdir(home.file(".config").c_str(), 0700), 0);
    std::ofstream(home.file(".config/user-dirs.dirs"))
        << "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
        << "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
    EXPECT_EQ(documentsFolder(), home.path() + "/Dokumente");
}

TEST(ModuleDirectory, IsTheFolderOfTheRunningExecutable) {
    const std::string dir = moduleDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '/');
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(std::string(self).rfind(dir + "/", 0), 0u);
}

TEST(TickCount, AdvancesWithTheMonotonicClock) {
    const uint32_t before = tickCount();
    usleep(20000);
    const uint32_t elapsed = tickCount() - before;  // wraps correctly as unsigned
    EXPECT_GE(elapsed, 15u);
    EXPECT_LT(elapsed, 5000u);
}

}  // namespace
}  // namespace lenvaro
