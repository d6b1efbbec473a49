// The one way the service stops, whatever asked for it (a quit signal, --quit, the icon's menu,
// the session ending, an endpoint that failed), and within a fixed time whatever the command in
// hand does: a library call that does not come back (a live match, an upload to a server that
// never answers, a card read) is waited for only so long, then left behind.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace lenvaro {

// Deadlines of the stages, counted from the start of the shutdown.
struct ShutdownTimings {
    // The command in hand may finish and be answered before the cameras are closed under it.
    std::chrono::milliseconds commandGrace{1500};
    // Everything that was inside the library (the command, background matches, callbacks, the
    // cameras' close) must have come out by then; what has not is left behind.
    std::chrono::milliseconds libraryDeadline{2500};
    // The library's release, made only when nothing of ours is inside it any more.
    std::chrono::milliseconds releaseDeadline{3000};
    // Pages told the service is going away and the endpoint ended: the end of the shutdown.
    std::chrono::milliseconds endDeadline{4000};
    // The longest pages get to answer the close.
    std::chrono::milliseconds pageCloseGrace{1000};
};

// The stages, each returning once its work has ended. Each runs on a thread of its own, so that
// one that never returns holds up nothing but itself.
struct ShutdownSteps {
    std::function<void()> stopCommands;        // the command in hand finishes, no other starts
    std::function<void()> stopBackgroundWork;  // background face matches end without an answer
    std::function<void()> closeCallbacks;      // library callbacks turned away, those inside out
    std::function<void()> closeCameras;        // cameras 0 and 1, whichever was opened
    std::function<void()> releaseLibrary;
    // Pages told (1001) and the endpoint ended; `grace` is how long pages may take to answer.
    std::function<void(std::chrono::milliseconds grace)> stopEndpoint;
    // The name of the command in hand, for the report ("" when not known).
    std::function<std::string()> commandInHand;
};

struct ShutdownReport {
    // What was still running when its time ran out, in words for a log line ("the command in
    // hand", "a background face match", ...). Empty: everything stopped in order.
    std::vector<std::string> abandoned;
    bool camerasClosed = false;
    bool libraryReleased = false;
    std::chrono::milliseconds took{0};

    bool orderly() const { return abandoned.empty(); }
    // One sentence for standard error: what was left behind and what was still done.
    std::string describe() const;
};

// Runs the stages in order: commands and background matches, callbacks, cameras; the library's
// release only once nothing of ours is inside it any more; then the endpoint. Returns by
// timings.endDeadline (plus a few milliseconds) in every case. A stage left behind keeps its
// thread: the caller must then end the process without destroying what the stages use.
ShutdownReport runShutdown(const ShutdownSteps& steps, const ShutdownTimings& timings = {});

}  // namespace lenvaro
