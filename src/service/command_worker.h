// The command worker: one thread that runs requests strictly one at a time, in the order they
// arrived, so that the endpoint's I/O thread never waits on a command (an upload of two minutes,
// an OCR of seconds) and keeps sending preview frames and accepting pages meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/reply_route.h"

namespace lenvaro {

class CommandWorker {
public:
    struct Request {
        ConnectionId from = 0;
        std::string text;
        // Whatever the submitter wants back when the request is run (its connection's state).
        std::shared_ptr<void> context;
    };
    // Runs one request on the worker thread. Must not throw; an exception is caught and the
    // request dropped.
    using Run = std::function<void(Request&)>;

    explicit CommandWorker(Run run);
    // stop().
    ~CommandWorker();
    CommandWorker(const CommandWorker&) = delete;
    CommandWorker& operator=(const CommandWorker&) = delete;

    // Queues a request behind those waiting and returns at once. Dropped after stop().
    void submit(Request request);

    // Ends the worker: the request it is running finishes, the waiting ones are dropped, and
    // later submits are dropped too. Waits for the thread unless called from it. Idempotent.
    void stop();

    // Requests queued and not started yet.
    size_t waiting() const;

    // How long the worker looks for a next request before it sleeps.
    static constexpr std::chrono::microseconds kLookBeforeSleeping{50};

private:
    void loop();

    Run run_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> queue_;
    bool stopping_ = false;
    bool idle_ = false;  // the worker waits on wake_: a submit must notify
    std::atomic<size_t> waiting_{0};  // queue_.size(), for the worker's look before sleeping
    std::thread thread_;
};

}  // namespace lenvaro
