// A camera without hardware: a frame thread draws a scene at the configured frame rate and hands
// the frames to the camera family, exactly as a real device's frames would arrive.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pictavo/camera/camera.h"
#include "pictavo/camera/frame_generator.h"
#include "pictavo/config.h"

namespace pictavo {

struct SimulatedCameraSpec {
    CameraInfo info;
    std::vector<MediaType> mediaTypes;
    int framesPerSecond = 15;
    // While auto capture runs, the scene turns a page this often.
    std::chrono::milliseconds pageTurnInterval{4000};
};

class SimulatedCamera final : public Camera {
  public:
    SimulatedCamera(SimulatedCameraSpec spec, std::unique_ptr<FrameGenerator> scene);
    ~SimulatedCamera() override;

    CameraInfo info() const override { return spec_.info; }
    std::vector<MediaType> mediaTypes() const override { return spec_.mediaTypes; }

    // A size of 0 x 0 opens at the media type's first (largest) size; any other size must be
    // one the media type lists.
    int open(int mediaType, Resolution size) override;
    int close() override;
    void setFrameSink(FrameSink* sink) override { sink_ = sink; }
    int setResolution(Resolution size) override;
    // Keeps the size when the new media type lists it, else takes its first size.
    int setMediaType(int index) override;
    int current(int& mediaType, Resolution& size) const override;
    int control(const DeviceControl& control) override;
    void setAutoCaptureActive(bool active) override { autoCapture_.store(active); }
    int framesPerSecond() const override { return spec_.framesPerSecond; }

    // What the simulated controls were last set to, for the curious (and the tests).
    int focusMode() const;
    int beeps() const;
    // The video parameter (para1, para2), or -1 when never set.
    int videoParameter(int para1, int para2) const;

  private:
    bool listed(int mediaType, Resolution size) const;
    void run();
    void stopThread();

    const SimulatedCameraSpec spec_;
    std::unique_ptr<FrameGenerator> scene_;  // used by the frame thread only
    FrameSink* sink_ = nullptr;

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    bool running_ = false;
    bool stopping_ = false;
    int mediaType_ = 0;
    Resolution size_;
    int focusMode_ = 0;
    int beeps_ = 0;
    std::map<std::pair<int, int>, int> videoParameters_;

    std::atomic<bool> autoCapture_{false};
    std::thread thread_;
};

// The two simulated cameras the configuration describes (none when it switches them off), each
// with its scene. Problems with image files are written to `problems`, one line each.
std::vector<std::unique_ptr<Camera>> makeSimulatedCameras(const CameraSettings& settings,
                                                          std::vector<std::string>& problems);

}  // namespace pictavo
