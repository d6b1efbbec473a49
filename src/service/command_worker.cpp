// The command worker's queue and thread.
#include "service/command_worker.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <utility>

namespace lenvaro {

CommandWorker::CommandWorker(Run run) : run_(std::move(run)) {
    thread_ = std::thread([this] { loop(); });
}

CommandWorker::~CommandWorker() { stop(); }

void CommandWorker::submit(Request request) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        queue_.push_back(std::move(request));
        waiting_.store(queue_.size(), std::memory_order_release);
        // A busy worker finds the request when it comes back for the next; only a sleeping one
        // needs the (comparatively costly) wake-up.
        wake = idle_;
    }
    if (wake) wake_.notify_one();
}

void CommandWorker::stop() {
    std::deque<Request> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
        waiting_.store(0, std::memory_order_release);
    }
    wake_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

size_t CommandWorker::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void CommandWorker::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (queue_.empty() && !stopping_) {
            // A page that waits for each answer sends its next request within microseconds of
            // it: look for one a moment before sleeping, since a wake-up through the kernel (and
            // the scheduler on a busy machine) costs more than most commands.
            lock.unlock();
            const auto until = std::chrono::steady_clock::now() + kLookBeforeSleeping;
            while (waiting_.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            lock.lock();
        }
        if (queue_.empty() && !stopping_) {
            idle_ = true;
            wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
            idle_ = false;
        }
        if (stopping_) return;
        Request request = std::move(queue_.front());
        queue_.pop_front();
        waiting_.store(queue_.size(), std::memory_order_release);
        lock.unlock();
        try {
            run_(request);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "request dropped: %s\n", error.what());
        } catch (...) {
            std::fprintf(stderr, "request dropped\n");
        }
        // The request (its text can be 64 MiB) goes before the lock is taken again.
        request = Request();
        lock.lock();
    }
}

}  // namespace lenvaro
