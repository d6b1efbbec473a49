// The background face match: the job the start command leaves, and the workers that compare the
// reference face with the open camera's live picture until the score reaches the threshold or
// the time budget runs out, then push one reply each.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "service/reply_route.h"

namespace lenvaro {

class CommandService;

// One service-wide parameter set; every running worker follows the latest one from its next pass.
struct FaceMatchJob {
    std::string personFace;      // the reference face, Base64 as the page sent it
    std::string videoFilePath;   // handed to the library unchanged
    int32_t delayTime = 0;       // time budget in milliseconds, unsigned, at most kMaxBudget
    int32_t scoreThreshold = 0;  // a worker stops early once its score reaches this
};

// The push every worker ends with.
inline constexpr char kFaceMatchPushName[] = "camStartAsyMatchFaceBase64Video";

// The result a start gets at once, instead of a worker, while kMaxRunning workers run.
inline constexpr int32_t kFaceMatchBusyResult = -1;

// Owned by the command service. Workers are threads of their own; the owner ends them with
// stop() (also on destruction) before anything they use goes away.
class FaceMatchWorkers {
public:
    // Pause between two passes of a worker.
    static constexpr std::chrono::milliseconds kPassPause{100};
    // Workers that may run at once. Every worker follows the same (latest) job, so more would
    // only repeat the same comparison; each still costs a thread and library calls.
    static constexpr size_t kMaxRunning = 4;
    // The longest a worker runs. A longer budget, a negative one (which as unsigned means weeks)
    // included, counts as this.
    static constexpr std::chrono::milliseconds kMaxBudget{5 * 60 * 1000};

    // The budget a worker keeps to for a job's delayTime.
    static uint32_t budgetOf(int32_t delayTime);

    explicit FaceMatchWorkers(CommandService& service);
    ~FaceMatchWorkers();
    FaceMatchWorkers(const FaceMatchWorkers&) = delete;
    FaceMatchWorkers& operator=(const FaceMatchWorkers&) = delete;

    // Replaces the job and starts one more worker, which sends exactly one reply when it ends:
    // to the connection whose request called start (the calling thread's reply route), or when
    // that one has closed, to the newest open connection. Earlier workers keep running with the
    // new job. While kMaxRunning workers run, the job is left as it is and the caller is
    // answered kFaceMatchBusyResult at once instead. After stop() nothing starts.
    void start(FaceMatchJob job);

    // A copy of the current job, taken under the lock, so a start never changes a text while a
    // worker reads it.
    FaceMatchJob job() const;

    // Asks every worker to end and waits for them: a worker finishes the library call it is in
    // and ends without replying (the connection is going away). Idempotent.
    void stop();

    // Workers that have not ended yet.
    size_t running() const;

private:
    struct Worker {
        std::thread thread;
        ReplyRoute route;       // where its reply goes
        bool finished = false;  // under mutex_
    };

    void run(Worker& self);
    // Waits `pause` unless stop() comes first; false when stopping.
    bool pauseUnlessStopping(std::chrono::milliseconds pause);
    void reapFinishedLocked(std::list<Worker>& finished);

    CommandService& service_;
    mutable std::mutex mutex_;
    std::condition_variable stopRequested_;
    FaceMatchJob job_;
    bool stopping_ = false;
    std::list<Worker> workers_;  // list: a worker keeps its address while others come and go
};

}  // namespace lenvaro
