// A real camera behind a V4L2 capture node (a USB document camera is a UVC device): the media
// types are its pixel formats, frames are streamed through memory-mapped driver buffers on a
// capture thread of its own, converted to B,G,R bottom-up and handed to the frame sink, so the
// camera family treats it exactly like a simulated camera.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pictavo/camera/camera.h"
#include "pictavo/camera/v4l2_enumeration.h"
#include "pictavo/camera/v4l2_io.h"

namespace pictavo {

// How the failures of a video node read as statuses (README "Real cameras"):
//   permission denied (EACCES, EPERM)       kFileError
//   unplugged (ENODEV, ENOENT, ENXIO)       kNoDevice
//   busy (EBUSY) or out of USB bandwidth    kFailed
//   anything else the driver refuses        kFailed
int statusOfErrno(int error);

class V4l2Camera final : public Camera {
  public:
    // The capture thread waits this long for a frame before it looks at its stop flag again.
    static constexpr int kPollMs = 100;
    // Driver buffers: enough that the driver always has one to fill while we convert.
    static constexpr unsigned kBuffers = 4;

    V4l2Camera(V4l2NodeInfo node, std::shared_ptr<V4l2Io> io);
    ~V4l2Camera() override;
    V4l2Camera(const V4l2Camera&) = delete;
    V4l2Camera& operator=(const V4l2Camera&) = delete;

    CameraInfo info() const override;
    std::vector<MediaType> mediaTypes() const override;

    // 0 x 0 opens at the media type's first (largest) size; any other size must be listed.
    int open(int mediaType, Resolution size) override;
    int close() override;
    void setFrameSink(FrameSink* sink) override { sink_.store(sink); }
    // Restart streaming in the new size or format (the driver needs the stream stopped).
    int setResolution(Resolution size) override;
    int setMediaType(int index) override;
    int current(int& mediaType, Resolution& size) const override;
    int control(const DeviceControl& control) override;

    const std::string& identity() const { return node_.identity; }
    // For the tests and the curious: frames converted and delivered, frames dropped because a
    // newer one was already waiting, frames the driver marked as damaged, stream restarts after
    // a streaming error, and whether the device went away while streaming.
    uint64_t framesDelivered() const { return delivered_.load(); }
    uint64_t framesDropped() const { return dropped_.load(); }
    uint64_t framesDamaged() const { return damaged_.load(); }
    uint64_t streamRestarts() const { return restarts_.load(); }
    bool lost() const { return lost_.load(); }

  private:
    struct Session;

    int startSession(int mediaType, Resolution size);
    // Stops the capture thread and releases the device (buffers, stream, node).
    void stopSession();
    int restart(int mediaType, Resolution size);
    bool listed(int mediaType, Resolution size) const;
    void run(Session* session);
    // Stops and starts the stream of `session` again; false when the driver refuses.
    bool restartStream(Session& session);
    void deliver(Session& session, unsigned index, uint32_t bytesUsed);

    const V4l2NodeInfo node_;
    const std::shared_ptr<V4l2Io> io_;
    std::atomic<FrameSink*> sink_{nullptr};

    mutable std::mutex mutex_;  // guards what follows (not held by the capture thread)
    std::vector<V4l2Format> formats_;  // asked again at open when the node could not be opened
    std::unique_ptr<Session> session_;
    std::thread thread_;
    int mediaType_ = 0;
    Resolution size_;
    bool running_ = false;

    std::atomic<bool> stop_{false};
    std::atomic<bool> lost_{false};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> damaged_{0};
    std::atomic<uint64_t> restarts_{0};
};

}  // namespace pictavo
