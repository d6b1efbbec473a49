#include "host/instance_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "common/paths.h"
#include "scoped_environment.h"

extern char** environ;

namespace lenvaro {
namespace {

using namespace std::chrono_literals;
using Outcome = InstanceGuard::Outcome;

class Guard : public ::testing::Test {
protected:
    std::string path() const { return dir_.file("LenvaroServer.lock"); }
    ScratchDirectory dir_;
};

TEST_F(Guard, OneHolderAtATimeAndTheNextAfterRelease) {
    EXPECT_EQ(runningInstance(path()), 0) << "no file, nobody running";
    auto first = std::make_unique<InstanceGuard>(path());
    ASSERT_EQ(first->tryAcquire(), Outcome::Acquired) << first->error();
    EXPECT_EQ(runningInstance(path()), getpid());

    InstanceGuard second(path());
    EXPECT_EQ(second.tryAcquire(), Outcome::HeldByAnother);
    EXPECT_FALSE(second.held());

    first.reset();
    EXPECT_EQ(runningInstance(path()), 0) << "the file stays but nobody holds it";
    EXPECT_EQ(second.tryAcquire(), Outcome::Acquired);
}

TEST_F(Guard, ARelaunchWaitsForTheHolderToLetGo) {
    auto holder = std::make_unique<InstanceGuard>(path());
    ASSERT_EQ(holder->tryAcquire(), Outcome::Acquired);

    InstanceGuard impatient(path());
    EXPECT_EQ(impatient.acquireWithin(150ms), Outcome::HeldByAnother);

    std::thread release([&holder] {
        std::this_thread::sleep_for(300ms);
        holder.reset();
    });
    InstanceGuard relaunched(path());
    EXPECT_EQ(relaunched.acquireWithin(10s), Outcome::Acquired);
    release.join();
}

TEST_F(Guard, IsReleasedWhenTheHolderProcessDies) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        InstanceGuard guard(path());
        const char answer = guard.tryAcquire() == Outcome::Acquired ? 'y' : 'n';
        (void)!write(ready[1], &answer, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    ASSERT_EQ(answer, 'y');
    EXPECT_EQ(runningInstance(path()), child);
    InstanceGuard mine(path());
    EXPECT_EQ(mine.tryAcquire(), Outcome::HeldByAnother);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(runningInstance(path()), 0);
    EXPECT_EQ(mine.tryAcquire(), Outcome::Acquired);
}

TEST_F(Guard, IsNotInheritedByAProgramTheHolderStarts) {
    auto holder = std::make_unique<InstanceGuard>(path());
    ASSERT_EQ(holder->tryAcquire(), Outcome::Acquired);
    pid_t sleeper = 0;
    char sleep[] = "sleep";
    char seconds[] = "30";
    char* arguments[] = {sleep, seconds, nullptr};
    ASSERT_EQ(posix_spawnp(&sleeper, "sleep", nullptr, nullptr, arguments, environ), 0);

    holder.reset();
    InstanceGuard next(path());
    EXPECT_EQ(next.tryAcquire(), Outcome::Acquired) << "the started program kept the guard";
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

TEST_F(Guard, RefusesALinkOrAFileThatIsNotAFile) {
    const std::string target = dir_.file("target");
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), path().c_str()), 0);
    InstanceGuard throughLink(path());
    EXPECT_EQ(throughLink.tryAcquire(), Outcome::Failed);
    EXPECT_NE(throughLink.error().find(path()), std::string::npos);
    std::ifstream in(target);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");

    const std::string directory = dir_.file("dir.lock");
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    InstanceGuard onDirectory(directory);
    EXPECT_EQ(onDirectory.tryAcquire(), Outcome::Failed);
}

TEST(GuardPath, LivesInTheRuntimeDirectoryElseInTheTemporaryFolderPerUser) {
    testing::ScopedEnvironment tmp("TMPDIR", "/var/tmp/x");
    {
        testing::ScopedEnvironment runtime("XDG_RUNTIME_DIR", "/run/user/1234");
        EXPECT_EQ(defaultGuardPath(), "/run/user/1234/LenvaroServer.lock");
    }
    testing::ScopedEnvironment noRuntime("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(defaultGuardPath(), "/var/tmp/x/LenvaroServer-" + std::to_string(getuid()) + ".lock");
    testing::ScopedEnvironment relativeRuntime("XDG_RUNTIME_DIR", "relative");
    EXPECT_EQ(defaultGuardPath(), "/var/tmp/x/LenvaroServer-" + std::to_string(getuid()) + ".lock");
}

}  // namespace
}  // namespace lenvaro
