// The simulated signature pad and its signer thread.
#include "pictavo/signpad/simulated_sign_pad.h"

#include <utility>

namespace pictavo {

SimulatedSignPad::SimulatedSignPad(SignPadSettings settings) : settings_(settings) {}

SimulatedSignPad::~SimulatedSignPad() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (signer_.joinable()) signer_.join();
}

int SimulatedSignPad::init() {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
    strokeDue_.reset();
    strokes_ = 0;
    return kOk;
}

int SimulatedSignPad::configure(const SignSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    style_ = styleFromParam(settings.values);
    padFile_ = settings.filePath;
    strokes_ = 0;
    return kOk;
}

int SimulatedSignPad::saveTo(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    outputFile_ = path;
    return writeSignatureImage(path, renderSignature(style_, strokes_));
}

int SimulatedSignPad::startWriting() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writing_ = true;
        strokeDue_ =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.strokeAfterMs);
        if (!signer_.joinable()) signer_ = std::thread([this] { runSigner(); });
    }
    wake_.notify_all();
    return kOk;
}

int SimulatedSignPad::stopWriting() {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
    strokeDue_.reset();
    return kOk;
}

void SimulatedSignPad::setSavedListener(SignSavedListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

bool SimulatedSignPad::writing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writing_;
}

int SimulatedSignPad::strokes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return strokes_;
}

std::string SimulatedSignPad::saveTarget() const {
    return padFile_.empty() ? outputFile_ : padFile_;
}

// The listener runs without the lock: it reaches the service, which may call straight back
// into this pad (a saved signature ends writing).
void SimulatedSignPad::runSigner() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!strokeDue_) {
            wake_.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < *strokeDue_) {
            wake_.wait_until(lock, *strokeDue_);
            continue;
        }
        strokeDue_.reset();
        ++strokes_;
        if (!settings_.saveAfterStroke) continue;
        bool saved = false;
        try {
            const std::string target = saveTarget();
            saved = !target.empty() &&
                    writeSignatureImage(target, renderSignature(style_, strokes_)) == kOk;
        } catch (...) {
            // Out of memory while drawing: reported as a failed save.
        }
        SignSavedListener listener;
        try {
            listener = listener_;
        } catch (...) {
            // Without memory for the copy nobody can be told.
        }
        lock.unlock();
        if (listener) {
            try {
                listener(saved);
            } catch (...) {
                // The listener belongs to the registry and does not throw; the thread must live.
            }
        }
        lock.lock();
    }
}

}  // namespace pictavo
