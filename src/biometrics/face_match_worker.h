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

namespace lenvaro {

class CommandService;

// One service-wide parameter set; every running worker follows the latest one from its next pass.
struct FaceMatchJob {
    std::string personFace;      // the reference face, Base64 as the page sent it
    std::string videoFilePath;   // handed to the library unchanged
    int32_t delayTime = 0;       // time budget in milliseconds, taken as unsigned
    int32_t scoreThreshold = 0;  // a worker stops early once its score reaches this
};

// The push every worker ends with.
inline constexpr char kFaceMatchPushName[] = "camStartAsyMatchFaceBase64Video";

// Owned by the command service. Workers are threads of their own; the owner ends them with
// stop() (also on destruction) before anything they use goes away.
class FaceMatchWorkers {
public:
    // Pause between two passes of a worker.
    static constexpr std::chrono::milliseconds kPassPause{100};

    explicit FaceMatchWorkers(CommandService& service);
    ~FaceMatchWorkers();
    FaceMatchWorkers(const FaceMatchWorkers&) = delete;
    FaceMatchWorkers& operator=(const FaceMatchWorkers&) = delete;

    // Replaces the job and starts one more worker, which sends exactly one reply when it ends.
    // Earlier workers keep running with the new job. After stop() nothing starts.
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
