// Background face match workers.
#include "biometrics/face_match_worker.h"

#include <exception>
#include <utility>

#include "common/paths.h"
#include "pictavo.h"
#include "service/command_service.h"
#include "service/reply.h"

namespace lenvaro {

FaceMatchWorkers::FaceMatchWorkers(CommandService& service) : service_(service) {}

FaceMatchWorkers::~FaceMatchWorkers() { stop(); }

uint32_t FaceMatchWorkers::budgetOf(int32_t delayTime) {
    const auto budget = static_cast<uint32_t>(delayTime);
    const auto longest = static_cast<uint32_t>(kMaxBudget.count());
    return budget < longest ? budget : longest;
}

void FaceMatchWorkers::start(FaceMatchJob job) {
    std::list<Worker> finished;
    bool started = false;
    bool busy = false;
    // The route of the request being handled; a page that closes meanwhile is not waited for,
    // the newest page gets the result instead (a reloaded page reconnects as the newest).
    ReplyRoute route = currentReplyRoute();
    route.fallBackToNewest = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        reapFinishedLocked(finished);
        busy = workers_.size() >= kMaxRunning;
        // A start beyond the cap leaves alone the job the running workers follow.
        if (!busy) {
            job_ = std::move(job);
            workers_.emplace_back();
            Worker& worker = workers_.back();
            worker.route = route;
            try {
                worker.thread = std::thread([this, &worker] { run(worker); });
                started = true;
            } catch (const std::exception&) {
                workers_.pop_back();
            }
        }
    }
    for (Worker& worker : finished) worker.thread.join();
    if (busy) {
        service_.sendReply(kFaceMatchPushName, intToText(kFaceMatchBusyResult), false);
        return;
    }
    // Without a thread the page still gets the one reply it waits for: the score a worker
    // reports when no library call wrote one.
    if (!started) service_.sendReply(kFaceMatchPushName, intToText(0), false);
}

FaceMatchJob FaceMatchWorkers::job() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return job_;
}

void FaceMatchWorkers::stop() {
    std::list<Worker> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        all.swap(workers_);  // the nodes move, the workers keep their addresses
    }
    stopRequested_.notify_all();
    for (Worker& worker : all) {
        if (worker.thread.joinable()) worker.thread.join();
    }
}

size_t FaceMatchWorkers::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const Worker& worker : workers_) count += worker.finished ? 0 : 1;
    return count;
}

void FaceMatchWorkers::reapFinishedLocked(std::list<Worker>& finished) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        const auto next = std::next(it);
        if (it->finished) finished.splice(finished.end(), workers_, it);
        it = next;
    }
}

bool FaceMatchWorkers::pauseUnlessStopping(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopRequested_.wait_for(lock, pause, [this] { return stopping_; });
}

// Each pass takes a fresh copy of the job and uses it for both the library call and the end
// check. The score carries over from pass to pass; the library's status is not looked at. The
// time is taken before the pause, so a worker may run one pass and one pause past its budget,
// and it always makes at least one pass.
void FaceMatchWorkers::run(Worker& self) {
    int score = 0;
    const uint32_t started = tickCount();
    bool stopped = false;
    for (;;) {
        const FaceMatchJob job = this->job();
        camMatchFaceByBase64Video(service_.currentDevice.load(), job.personFace.c_str(), &score,
                                  job.videoFilePath.c_str(), 0);
        const uint32_t now = tickCount();
        if (!pauseUnlessStopping(kPassPause)) {
            stopped = true;
            break;
        }
        const bool withinBudget = now - started < budgetOf(job.delayTime);
        if (!withinBudget || score >= job.scoreThreshold) break;
    }
    if (!stopped) {
        const ReplyRouteScope scope(self.route);
        service_.sendReply(kFaceMatchPushName, intToText(score), false);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    self.finished = true;
}

}  // namespace lenvaro
