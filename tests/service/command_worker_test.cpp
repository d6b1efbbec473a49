// The command worker: strictly one request at a time, in arrival order, never holding up the
// thread that submits, and a stop that finishes the request in hand and drops the rest.
#include "service/command_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace lenvaro {
namespace {

using namespace std::chrono_literals;

// Records what the worker ran; a request whose text is "block" waits until released.
class Recorder {
public:
    void run(CommandWorker::Request& request) {
        const int inside = ++running_;
        maxRunning_ = std::max(maxRunning_.load(), inside);
        if (request.text == "throw") {
            --running_;
            throw std::runtime_error("handler failed");
        }
        std::unique_lock<std::mutex> lock(mutex_);
        ran_.push_back(std::to_string(request.from) + ":" + request.text);
        changed_.notify_all();
        if (request.text == "block") changed_.wait(lock, [this] { return released_; });
        --running_;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<std::string> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return ran_.size() >= count; });
        return ran_;
    }
    int maxRunning() const { return maxRunning_.load(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> ran_;
    bool released_ = false;
    std::atomic<int> running_{0};
    std::atomic<int> maxRunning_{0};
};

TEST(CommandWorker, RunsRequestsOneAtATimeInArrivalOrderWithoutHoldingUpTheSubmitter) {
    Recorder recorder;
    CommandWorker worker([&](CommandWorker::Request& request) { recorder.run(request); });
    worker.submit({1, "block", nullptr});
    ASSERT_EQ(recorder.waitFor(1), std::vector<std::string>{"1:block"});
    // While the first request blocks the worker, submitting returns at once.
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) worker.submit({static_cast<ConnectionId>(2 + i % 2), std::to_string(i), nullptr});
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_EQ(worker.waiting(), 50u);

    recorder.release();
    const std::vector<std::string> ran = recorder.waitFor(51);
    ASSERT_EQ(ran.size(), 51u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(ran[1 + i], std::to_string(2 + i % 2) + ":" + std::to_string(i));
    EXPECT_EQ(recorder.maxRunning(), 1);
}

TEST(CommandWorker, StopFinishesTheRequestInHandAndDropsTheRest) {
    Recorder recorder;
    CommandWorker worker([&](CommandWorker::Request& request) { recorder.run(request); });
    worker.submit({1, "block", nullptr});
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    worker.submit({1, "dropped", nullptr});

    std::thread stopper([&] { worker.stop(); });
    std::this_thread::sleep_for(50ms);
    recorder.release();  // stop() waits for the request in hand
    stopper.join();
    worker.submit({1, "after stop", nullptr});
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder.waitFor(1), std::vector<std::string>{"1:block"});
    EXPECT_EQ(worker.waiting(), 0u);
    worker.stop();  // again: nothing happens
}

TEST(CommandWorker, AHandlerThatThrowsLosesOnlyItsOwnRequest) {
    Recorder recorder;
    CommandWorker worker([&](CommandWorker::Request& request) { recorder.run(request); });
    worker.submit({1, "throw", nullptr});
    worker.submit({1, "next", nullptr});
    EXPECT_EQ(recorder.waitFor(1), std::vector<std::string>{"1:next"});
}

}  // namespace
}  // namespace lenvaro
