// The crash handler, run in death-test children: each child installs it, crashes, and the parent
// reads the log and what the relaunched program (a shell command here) left behind.
#include "host/crash_handler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/daily_log.h"
#include "common/paths.h"
#include "test_files.h"

namespace lenvaro {
namespace {

using lenvaro::testing::readWholeFile;
using namespace std::chrono_literals;

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class CrashHandlerDeathTest : public ::testing::Test {
protected:
    void SetUp() override { ::testing::FLAGS_gtest_death_test_style = "fast"; }

    std::string logFolder() const { return dir_.file("Lenvaro1"); }
    std::string marker() const { return dir_.file("relaunched.txt"); }

    // The day's log, whatever its date.
    std::string logContent() const {
        const std::string name = [] {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            char text[32];
            formatLogFileName(text, sizeof text, localTimeAt(now, utcOffsetAt(now.tv_sec)));
            return std::string(text);
        }();
        return readWholeFile(logFolder() + "/" + name);
    }

    // A relaunch that appends one line to the marker file: the shell's blocked signals and
    // whether descriptor 57 of the crashed process reached it.
    CrashRelaunch shellRelaunch() const {
        CrashRelaunch relaunch;
        relaunch.executable = "/bin/sh";
        relaunch.arguments = {"-c", "blocked=$(grep SigBlk /proc/self/status | cut -f2); "
                                    "if [ -e /proc/$$/fd/57 ]; then fd=inherited; else fd=closed; fi; "
                                    "echo \"relaunched $blocked $fd\" >> '" + marker() + "'"};
        return relaunch;
    }

    // The marker once the relaunched shell has written it (or after a few seconds).
    std::string waitForMarker() const {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        std::string content;
        while ((content = readWholeFile(marker())).empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        return content;
    }

    ScratchDirectory dir_;
};

TEST_F(CrashHandlerDeathTest, LogsRelaunchesOnceWithACleanSlateAndDiesOfTheSignal) {
    EXPECT_EXIT(
        {
            // A descriptor without close-on-exec, as Boost.Asio leaves its sockets.
            dup2(open("/dev/null", O_RDONLY), 57);
            // Blocked as the host blocks its quit signals.
            sigset_t quit;
            sigemptyset(&quit);
            sigaddset(&quit, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &quit, nullptr);
            static DailyLog log(logFolder());
            installCrashHandler(log, shellRelaunch());
            raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EQ(waitForMarker(), "relaunched 0000000000000000 closed\n");
    const std::string log = logContent();
    EXPECT_NE(log.find(": GenerateMiniDump\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": /bin/sh\r\n"), std::string::npos) << log;
    EXPECT_LT(log.find("GenerateMiniDump"), log.find("/bin/sh"));
    EXPECT_EQ(countOf(log, "\r\n"), 5u) << "two banner lines (one ends with an empty line) and two lines";
}

TEST_F(CrashHandlerDeathTest, HandlesAbortAndTheOtherFatalSignals) {
    for (const int signalNumber : kCrashSignals) {
        SCOPED_TRACE(signalNumber);
        EXPECT_EXIT(
            {
                static DailyLog log(logFolder());
                CrashRelaunch none;
                none.enabled = false;
                installCrashHandler(log, none);
                if (signalNumber == SIGABRT) std::abort();
                raise(signalNumber);
            },
            ::testing::KilledBySignal(signalNumber), "");
    }
    EXPECT_EQ(countOf(logContent(), ": GenerateMiniDump\r\n"), 5u);
}

TEST_F(CrashHandlerDeathTest, WithRelaunchOffOnlyTheCrashIsLogged) {
    EXPECT_EXIT(
        {
            static DailyLog log(logFolder());
            CrashRelaunch relaunch = shellRelaunch();
            relaunch.enabled = false;
            installCrashHandler(log, relaunch);
            raise(SIGBUS);
        },
        ::testing::KilledBySignal(SIGBUS), "");
    const std::string log = logContent();
    EXPECT_EQ(countOf(log, "GenerateMiniDump"), 1u);
    EXPECT_EQ(log.find("/bin/sh"), std::string::npos);
    // The relaunch would have written by now; the handler forks before the process dies.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(readWholeFile(marker()), "");
}

TEST_F(CrashHandlerDeathTest, QuittingCancelsTheRelaunch) {
    EXPECT_EXIT(
        {
            static DailyLog log(logFolder());
            installCrashHandler(log, shellRelaunch());
            cancelCrashRelaunch();
            raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EQ(logContent().find("/bin/sh"), std::string::npos);
}

TEST_F(CrashHandlerDeathTest, TwoThreadsCrashingAtOnceStartOneCopy) {
    EXPECT_EXIT(
        {
            static DailyLog log(logFolder());
            installCrashHandler(log, shellRelaunch());
            std::atomic<int> ready{0};
            auto crash = [&ready] {
                ++ready;
                while (ready.load() < 2) {
                }
                raise(SIGSEGV);
            };
            std::thread first(crash);
            std::thread second(crash);
            first.join();
            second.join();
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    waitForMarker();
    std::this_thread::sleep_for(300ms);  // a second copy would write its line by now
    EXPECT_EQ(countOf(readWholeFile(marker()), "relaunched"), 1u);
    const std::string log = logContent();
    EXPECT_EQ(countOf(log, ": /bin/sh\r\n"), 1u) << log;
    EXPECT_GE(countOf(log, "GenerateMiniDump"), 1u);
}

TEST_F(CrashHandlerDeathTest, ARelaunchedCopyThatCrashesAtOnceStartsNoOther) {
    EXPECT_EXIT(
        {
            static DailyLog log(logFolder());
            CrashRelaunch relaunch = shellRelaunch();
            relaunch.thisIsARelaunch = true;
            installCrashHandler(log, relaunch);
            raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    const std::string log = logContent();
    EXPECT_NE(log.find(": GenerateMiniDump\r\n"), std::string::npos);
    EXPECT_NE(log.find(": relaunch skipped"), std::string::npos) << log;
    EXPECT_EQ(log.find("/bin/sh"), std::string::npos);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(readWholeFile(marker()), "");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Sanitizers keep their own stack-overflow handling, and their larger frames change the depth.
int recurse(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth < 0) return 0;  // never: keeps the compiler from seeing an endless recursion
    return recurse(depth + 1) + frame[0];
}

TEST_F(CrashHandlerDeathTest, AStackOverflowIsLoggedFromTheAlternateStack) {
    EXPECT_EXIT(
        {
            static DailyLog log(logFolder());
            CrashRelaunch none;
            none.enabled = false;
            installCrashHandler(log, none);
            std::thread overflowing([] {
                AlternateSignalStack stack;
                if (!stack.installed()) std::_Exit(3);
                recurse(0);
            });
            overflowing.join();
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_NE(logContent().find(": GenerateMiniDump\r\n"), std::string::npos);
}
#endif

TEST(ExecutablePath, IsTheAbsolutePathOfThisProgram) {
    const std::string path = executablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(access(path.c_str(), X_OK), 0);
    EXPECT_EQ(path.substr(0, path.rfind('/')), moduleDirectory());
}

}  // namespace
}  // namespace lenvaro
