// The shutdown stages, each on a thread of its own and waited for until its deadline.
#include "host/shutdown_sequence.h"

#include <condition_variable>
#include <cstdio>
#include <algorithm>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace lenvaro {
namespace {

using Clock = std::chrono::steady_clock;

// One stage running on a thread of its own. A stage that has not ended when the shutdown is over
// is left running: its thread is detached and keeps only its own state alive.
class Stage {
public:
    explicit Stage(std::function<void()> work) : state_(std::make_shared<State>()) {
        if (!work) {
            state_->done = true;
            return;
        }
        try {
            thread_ = std::thread([state = state_, work] {
                work();
                std::lock_guard<std::mutex> lock(state->mutex);
                state->done = true;
                state->changed.notify_all();
            });
        } catch (const std::system_error&) {
            // No thread to be had: the stage runs here, unbounded, rather than not at all.
            work();
            state_->done = true;
        }
    }
    ~Stage() {
        if (!thread_.joinable()) return;
        if (finishedBy(Clock::now())) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    bool finishedBy(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        return state_->changed.wait_until(lock, deadline, [this] { return state_->done; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace

std::string ShutdownReport::describe() const {
    if (abandoned.empty()) return "stopped in order";
    std::string text = "quit after ";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(took.count()) / 1000.0);
    text += seconds;
    text += " without waiting any longer for ";
    for (size_t i = 0; i < abandoned.size(); ++i) {
        if (i > 0) text += i + 1 == abandoned.size() ? " and " : ", ";
        text += abandoned[i];
    }
    text += camerasClosed ? "; cameras closed" : "; cameras not closed";
    text += libraryReleased ? ", capture library released" : ", capture library not released";
    return text;
}

ShutdownReport runShutdown(const ShutdownSteps& steps, const ShutdownTimings& timings) {
    ShutdownReport report;
    const Clock::time_point start = Clock::now();
    const auto at = [start](std::chrono::milliseconds offset) { return start + offset; };

    // The command in hand and the background matches end side by side: neither waits for the
    // other, and a match ends within one library call.
    Stage commands(steps.stopCommands);
    Stage background(steps.stopBackgroundWork);
    bool commandsEnded = commands.finishedBy(at(timings.commandGrace));
    bool backgroundEnded = background.finishedBy(at(timings.commandGrace));

    // Then the library's streams, also under a command still running: with the cameras closed a
    // live match sees no more pictures and ends.
    // Callbacks are turned away at once; one stuck inside the library gets half the time left
    // before the cameras are closed all the same.
    Stage callbacks(steps.closeCallbacks);
    bool callbacksClosed =
        callbacks.finishedBy(at(timings.commandGrace + (timings.libraryDeadline - timings.commandGrace) / 2));
    Stage cameras(steps.closeCameras);
    report.camerasClosed = cameras.finishedBy(at(timings.libraryDeadline));
    callbacksClosed = callbacksClosed || callbacks.finishedBy(at(timings.libraryDeadline));
    commandsEnded = commandsEnded || commands.finishedBy(at(timings.libraryDeadline));
    backgroundEnded = backgroundEnded || background.finishedBy(at(timings.libraryDeadline));

    // Releasing the library under a call still inside it could bring the process down on the
    // way out; the system takes back what the library holds when the process ends.
    if (commandsEnded && backgroundEnded && callbacksClosed && report.camerasClosed) {
        Stage release(steps.releaseLibrary);
        report.libraryReleased = release.finishedBy(at(timings.releaseDeadline));
        if (!report.libraryReleased) report.abandoned.push_back("the capture library's release");
    }

    // Last the endpoint, which anything left behind may still try to send through (it then
    // finds no page).
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at(timings.endDeadline) - Clock::now());
    const auto grace = std::max(std::chrono::milliseconds(0), std::min(timings.pageCloseGrace, left));
    Stage endpoint([stopEndpoint = steps.stopEndpoint, grace] {
        if (stopEndpoint) stopEndpoint(grace);
    });
    const bool endpointEnded = endpoint.finishedBy(at(timings.endDeadline));

    if (!commandsEnded) {
        const std::string name = steps.commandInHand ? steps.commandInHand() : std::string();
        report.abandoned.insert(report.abandoned.begin(),
                                name.empty() ? std::string("the command in hand") : "the command in hand (" + name + ")");
    }
    if (!backgroundEnded) report.abandoned.push_back("a background face match");
    if (!callbacksClosed) report.abandoned.push_back("a library callback");
    if (!report.camerasClosed) report.abandoned.push_back("the cameras' close");
    if (!endpointEnded) report.abandoned.push_back("the endpoint");
    report.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return report;
}

}  // namespace lenvaro
