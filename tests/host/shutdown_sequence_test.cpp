// The shutdown sequence with stages that return, return late or never: it keeps its order, ends
// by its last deadline, and releases the library only when nothing is inside it.
#include "host/shutdown_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace lenvaro {
namespace {

using namespace std::chrono_literals;

struct Case {
    const char* stuck;      // the stage that does not return ("" none; "live match": the command
                            // returns once the cameras are closed)
    std::vector<std::string> abandoned;
    bool camerasClosed;
    bool released;
};

TEST(ShutdownSequence, KeepsItsOrderAndLeavesBehindWhatDoesNotReturnInTime) {
    const std::vector<Case> cases = {
        {"", {}, true, true},
        {"live match", {}, true, true},
        {"commands", {"the command in hand (camUpdataFileHttp)"}, true, false},
        {"background", {"a background face match"}, true, false},
        {"callbacks", {"a library callback"}, true, false},
        {"cameras", {"the cameras' close"}, false, false},
    };
    ShutdownTimings quick;  // a stage that never returns costs under a second
    quick.commandGrace = 300ms;
    quick.libraryDeadline = 600ms;
    quick.releaseDeadline = 700ms;
    quick.endDeadline = 900ms;
    quick.pageCloseGrace = 50ms;
    for (const Case& test : cases) {
        // Stages left behind hold these until the end of the test.
        auto mutex = std::make_shared<std::mutex>();
        auto log = std::make_shared<std::vector<std::string>>();
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        auto camerasClosed = std::make_shared<std::promise<void>>();
        std::shared_future<void> closed = camerasClosed->get_future().share();
        const auto stage = [&](const std::string& name) -> std::function<void()> {
            return [=] {
                if (name == test.stuck) released.wait();
                if (name == "commands" && std::string(test.stuck) == "live match") closed.wait();
                std::lock_guard<std::mutex> lock(*mutex);
                log->push_back(name);
                if (name == "cameras") camerasClosed->set_value();
            };
        };
        ShutdownSteps steps;
        steps.stopCommands = stage("commands");
        steps.stopBackgroundWork = stage("background");
        steps.closeCallbacks = stage("callbacks");
        steps.closeCameras = stage("cameras");
        steps.releaseLibrary = stage("release");
        steps.stopEndpoint = [stop = stage("endpoint")](std::chrono::milliseconds grace) {
            EXPECT_LE(grace, 50ms);
            stop();
        };
        steps.commandInHand = [] { return std::string("camUpdataFileHttp"); };

        const auto started = std::chrono::steady_clock::now();
        const ShutdownReport report = runShutdown(steps, quick);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << test.stuck;  // a loaded machine
        EXPECT_EQ(report.abandoned, test.abandoned) << test.stuck;
        EXPECT_EQ(report.camerasClosed, test.camerasClosed) << test.stuck;
        EXPECT_EQ(report.libraryReleased, test.released) << test.stuck;
        for (const std::string& what : test.abandoned)
            EXPECT_NE(report.describe().find(what), std::string::npos) << report.describe();

        std::vector<std::string> order;
        {
            std::lock_guard<std::mutex> lock(*mutex);
            order = *log;
        }
        const auto at = [&order](const std::string& name) { return std::find(order.begin(), order.end(), name) - order.begin(); };
        // Pages are told in every case, last; the library goes after everything that was inside.
        EXPECT_EQ(order.back(), "endpoint") << test.stuck;
        if (test.released) {
            EXPECT_LT(std::max(at("commands"), at("cameras")), at("release"));
        }
        release.set_value();
    }
}

}  // namespace
}  // namespace lenvaro
