// Work run in a child process: its bytes come back whole, and its crashes, aborts, exceptions
// and hangs come back as a failure while this process carries on.
#include "pictavo/recognition/isolated_call.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "pictavo/status.h"

namespace pictavo {
namespace {

using namespace std::chrono_literals;

TEST(IsolatedCall, BringsBackTheChildsBytesWhole) {
    std::string output = "stale";
    EXPECT_EQ(runIsolated([] { return std::string("abc\0def", 7); }, 10s, output), kOk);
    EXPECT_EQ(output, std::string("abc\0def", 7));
    EXPECT_EQ(runIsolated([] { return std::string(); }, 10s, output), kOk);
    EXPECT_EQ(output, "");
    // Far more than a pipe holds: the parent reads while the child writes.
    EXPECT_EQ(runIsolated([] { return std::string(3 << 20, 'x'); }, 10s, output), kOk);
    EXPECT_EQ(output.size(), 3u << 20);
}

TEST(IsolatedCall, ChildThatAbortsCrashesOrThrowsIsAFailure) {
    std::string output = "stale";
    EXPECT_EQ(runIsolated([]() -> std::string { std::abort(); }, 10s, output), kFailed);
    EXPECT_EQ(output, "");
    EXPECT_EQ(runIsolated(
                  []() -> std::string {
                      std::raise(SIGSEGV);
                      return "never";
                  },
                  10s, output),
              kFailed);
    EXPECT_EQ(runIsolated([]() -> std::string { throw std::runtime_error("x"); }, 10s, output),
              kFailed);
    EXPECT_EQ(runIsolated([]() -> std::string { std::_Exit(0); }, 10s, output), kFailed)
        << "an exit before the answer is written is no answer";
}

TEST(IsolatedCall, ChildStartsWithDefaultSignalsAndNoDescriptorOfTheParent) {
    // What a service has when it decodes: a crash handler, signals blocked for its host thread,
    // and descriptors (its listening socket, its instance guard) stood in for by /dev/null.
    struct sigaction handler {};
    struct sigaction previous {};
    handler.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGABRT, &handler, &previous), 0);
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
    // Far from the low numbers the child reuses for its own pipe.
    const int opened = open("/dev/null", O_RDONLY);
    ASSERT_GE(opened, 0);
    const int inherited = fcntl(opened, F_DUPFD, 100);
    close(opened);
    ASSERT_GE(inherited, 100);

    std::string output;
    EXPECT_EQ(runIsolated(
                  [inherited] {
                      struct sigaction current {};
                      sigaction(SIGABRT, nullptr, &current);
                      sigset_t mask;
                      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
                      std::string seen = current.sa_handler == SIG_DFL ? "default" : "handled";
                      seen += sigismember(&mask, SIGTERM) ? " blocked" : " unblocked";
                      seen += fcntl(inherited, F_GETFD) < 0 ? " closed" : " open";
                      return seen;
                  },
                  10s, output),
              kOk);
    EXPECT_EQ(output, "default unblocked closed");
    EXPECT_GE(fcntl(inherited, F_GETFD), 0) << "the parent keeps its own";

    close(inherited);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    sigaction(SIGABRT, &previous, nullptr);
}

TEST(IsolatedCall, ChildThatHangsIsKilledAtTheDeadline) {
    std::string output;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runIsolated(
                  [] {
                      std::this_thread::sleep_for(60s);
                      return std::string("late");
                  },
                  300ms, output),
              kFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

}  // namespace
}  // namespace pictavo
