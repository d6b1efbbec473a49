// Work run in a child process: its bytes come back whole, and its crashes, aborts, exceptions
// and hangs come back as a failure while this process carries on.
#include "pictavo/recognition/isolated_call.h"

#include <gtest/gtest.h>

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
