// A scripted V4L2 device for the tests: answers the ioctls a capture node answers, from tables
// the test fills in, hands out memory "mapped" from its own buffers, and produces frames when the
// test says so. It can be made busy, refuse permission, or be unplugged while streaming, and it
// counts what was opened and mapped so the tests can see everything is given back.
#pragma once

#include <linux/videodev2.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pictavo/camera/v4l2_io.h"

namespace pictavo_test {

struct FakeFormat {
    uint32_t pixelFormat;
    std::vector<std::pair<uint32_t, uint32_t>> sizes;  // discrete, in the driver's order
    bool stepwise = false;
    v4l2_frmsize_stepwise range{};
    std::vector<uint32_t> framesPerSecond{};  // discrete rates, every size; none: no rate control
};

struct FakeControl {
    int32_t minimum, maximum, defaultValue;
    int32_t value;
};

class FakeV4l2Device {
  public:
    std::string card = "Fake Document Camera";
    std::string busInfo = "usb-0000:00:14.0-1";
    uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::vector<FakeFormat> formats;
    std::map<uint32_t, FakeControl> controls;  // by V4L2_CID_...
    unsigned maxBuffers = 4;
    unsigned long busyOn = 0;  // the ioctl that answers EBUSY (VIDIOC_S_FMT, VIDIOC_STREAMON, ...), 0 none

    // --- what the test drives ---
    // Fills the next buffer the driver has queued with `bytes`; false when none is queued (the
    // frame is lost, as a real driver loses it). `flags` go out with the buffer
    // (V4L2_BUF_FLAG_ERROR: the driver knows the picture is damaged).
    bool produce(const std::vector<uint8_t>& bytes, uint32_t flags = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!streaming_ || queued_.empty()) return false;
        const unsigned index = queued_.front();
        queued_.pop_front();
        Buffer& buffer = buffers_[index];
        const size_t n = std::min(bytes.size(), buffer.memory.size());
        std::memcpy(buffer.memory.data(), bytes.data(), n);
        buffer.bytesUsed = static_cast<uint32_t>(n);
        buffer.flags = flags;
        done_.push_back(index);
        ++produced_;
        changed_.notify_all();
        return true;
    }
    void unplug() {
        std::lock_guard<std::mutex> lock(mutex_);
        unplugged_ = true;
        changed_.notify_all();
    }
    // The stream fails as a driver's queue does after a fatal error: poll reports an error (no
    // hang-up) and DQBUF answers EIO until the stream is stopped.
    void failStream() {
        std::lock_guard<std::mutex> lock(mutex_);
        streamError_ = true;
        changed_.notify_all();
    }
    // Waits until the consumer has given back `count` buffers in all (QBUF after DQBUF).
    bool waitRequeued(uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return requeued_ >= count; });
    }
    bool waitStreaming(std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return streaming_ && !queued_.empty(); });
    }

    // --- what the test looks at ---
    int openHandles() const { std::lock_guard<std::mutex> l(mutex_); return openHandles_; }
    int mappings() const { std::lock_guard<std::mutex> l(mutex_); return mappings_; }
    bool streaming() const { std::lock_guard<std::mutex> l(mutex_); return streaming_; }
    unsigned allocatedBuffers() const { std::lock_guard<std::mutex> l(mutex_); return static_cast<unsigned>(buffers_.size()); }
    v4l2_pix_format format() const { std::lock_guard<std::mutex> l(mutex_); return format_; }
    int32_t controlValue(uint32_t id) const { std::lock_guard<std::mutex> l(mutex_); return controls.at(id).value; }
    int streamOns() const { std::lock_guard<std::mutex> l(mutex_); return streamOns_; }
    // The frame rate set with VIDIOC_S_PARM; 0 before any.
    uint32_t framesPerSecond() const {
        std::lock_guard<std::mutex> l(mutex_);
        return interval_.numerator == 0 ? 0 : interval_.denominator / interval_.numerator;
    }

    // --- the node's side, for FakeHandle ---
    void opened() { std::lock_guard<std::mutex> l(mutex_); ++openHandles_; }
    // As the kernel does, the last close frees what the driver held.
    void closed() {
        std::lock_guard<std::mutex> l(mutex_);
        if (--openHandles_ == 0 && mappings_ == 0) {
            buffers_.clear();
            queued_.clear();
            done_.clear();
            streaming_ = false;
        }
    }

    int ioctl(unsigned long request, void* argument) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unplugged_) return ENODEV;
        if (busyOn != 0 && request == busyOn) return EBUSY;
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* cap = static_cast<v4l2_capability*>(argument);
                *cap = v4l2_capability{};
                std::strncpy(reinterpret_cast<char*>(cap->card), card.c_str(), sizeof cap->card - 1);
                std::strncpy(reinterpret_cast<char*>(cap->driver), "fake", sizeof cap->driver - 1);
                std::strncpy(reinterpret_cast<char*>(cap->bus_info), busInfo.c_str(), sizeof cap->bus_info - 1);
                cap->device_caps = caps;
                cap->capabilities = caps | V4L2_CAP_DEVICE_CAPS;
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                auto* desc = static_cast<v4l2_fmtdesc*>(argument);
                if (desc->index >= formats.size()) return EINVAL;
                desc->pixelformat = formats[desc->index].pixelFormat;
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto* size = static_cast<v4l2_frmsizeenum*>(argument);
                const FakeFormat* format = find(size->pixel_format);
                if (format == nullptr) return EINVAL;
                if (format->stepwise) {
                    if (size->index != 0) return EINVAL;
                    size->type = V4L2_FRMSIZE_TYPE_STEPWISE;
                    size->stepwise = format->range;
                    return 0;
                }
                if (size->index >= format->sizes.size()) return EINVAL;
                size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size->discrete.width = format->sizes[size->index].first;
                size->discrete.height = format->sizes[size->index].second;
                return 0;
            }
            case VIDIOC_S_FMT: {
                if (!buffers_.empty()) return EBUSY;
                auto* f = static_cast<v4l2_format*>(argument);
                const FakeFormat* format = find(f->fmt.pix.pixelformat);
                if (format == nullptr) format = &formats.front();
                f->fmt.pix.pixelformat = format->pixelFormat;
                const bool compressed = format->pixelFormat == V4L2_PIX_FMT_MJPEG;
                f->fmt.pix.bytesperline = compressed ? 0 : f->fmt.pix.width * 2;
                f->fmt.pix.sizeimage = f->fmt.pix.width * f->fmt.pix.height * 2;
                f->fmt.pix.field = V4L2_FIELD_NONE;
                format_ = f->fmt.pix;
                return 0;
            }
            case VIDIOC_REQBUFS: {
                auto* r = static_cast<v4l2_requestbuffers*>(argument);
                if (r->memory != V4L2_MEMORY_MMAP) return EINVAL;
                if (r->count == 0) {
                    if (mappings_ > 0) return EBUSY;
                    buffers_.clear();
                    queued_.clear();
                    done_.clear();
                    return 0;
                }
                if (!buffers_.empty()) return EBUSY;
                r->count = std::min(r->count, maxBuffers);
                buffers_.resize(r->count);
                for (Buffer& b : buffers_) b.memory.assign(std::max<size_t>(format_.sizeimage, 4096), 0);
                return 0;
            }
            case VIDIOC_QUERYBUF: {
                auto* b = static_cast<v4l2_buffer*>(argument);
                if (b->index >= buffers_.size()) return EINVAL;
                b->length = static_cast<uint32_t>(buffers_[b->index].memory.size());
                b->m.offset = b->index * 0x10000u;
                return 0;
            }
            case VIDIOC_QBUF: {
                auto* b = static_cast<v4l2_buffer*>(argument);
                if (b->index >= buffers_.size()) return EINVAL;
                queued_.push_back(b->index);
                if (streaming_) ++requeued_;
                changed_.notify_all();
                return 0;
            }
            case VIDIOC_DQBUF: {
                auto* b = static_cast<v4l2_buffer*>(argument);
                if (!streaming_) return EINVAL;
                if (streamError_) return EIO;
                if (done_.empty()) return EAGAIN;
                const unsigned index = done_.front();
                done_.pop_front();
                b->index = index;
                b->bytesused = buffers_[index].bytesUsed;
                b->flags = buffers_[index].flags;
                return 0;
            }
            case VIDIOC_STREAMON:
                streaming_ = true;
                ++streamOns_;
                changed_.notify_all();
                return 0;
            case VIDIOC_STREAMOFF:
                streaming_ = false;
                streamError_ = false;
                queued_.clear();
                done_.clear();
                return 0;
            case VIDIOC_ENUM_FRAMEINTERVALS: {
                auto* interval = static_cast<v4l2_frmivalenum*>(argument);
                const FakeFormat* format = find(interval->pixel_format);
                if (format == nullptr || interval->index >= format->framesPerSecond.size()) return EINVAL;
                interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                interval->discrete = {1, format->framesPerSecond[interval->index]};
                return 0;
            }
            case VIDIOC_G_PARM:
            case VIDIOC_S_PARM: {
                auto* parameters = static_cast<v4l2_streamparm*>(argument);
                const FakeFormat* format = find(format_.pixelformat);
                if (format == nullptr || format->framesPerSecond.empty()) return ENOTTY;
                if (request == VIDIOC_S_PARM) interval_ = parameters->parm.capture.timeperframe;
                parameters->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
                parameters->parm.capture.timeperframe = interval_;
                return 0;
            }
            case VIDIOC_QUERYCTRL: {
                auto* q = static_cast<v4l2_queryctrl*>(argument);
                const auto it = controls.find(q->id);
                if (it == controls.end()) return EINVAL;
                q->minimum = it->second.minimum;
                q->maximum = it->second.maximum;
                q->default_value = it->second.defaultValue;
                q->step = 1;
                q->flags = 0;
                return 0;
            }
            case VIDIOC_S_CTRL: {
                auto* c = static_cast<v4l2_control*>(argument);
                const auto it = controls.find(c->id);
                if (it == controls.end()) return EINVAL;
                if (c->value < it->second.minimum || c->value > it->second.maximum) return ERANGE;
                it->second.value = c->value;
                return 0;
            }
            default:
                return ENOTTY;
        }
    }

    void* map(size_t length, int64_t offset) {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t index = static_cast<size_t>(offset / 0x10000);
        if (index >= buffers_.size() || length > buffers_[index].memory.size()) return nullptr;
        ++mappings_;
        return buffers_[index].memory.data();
    }
    void unmap() {
        std::lock_guard<std::mutex> lock(mutex_);
        --mappings_;
    }
    int waitReadable(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return unplugged_ || streamError_ || !done_.empty(); });
        if (unplugged_) return -ENODEV;
        if (streamError_) return -EIO;
        return done_.empty() ? 0 : 1;
    }

  private:
    const FakeFormat* find(uint32_t pixelFormat) const {
        for (const FakeFormat& f : formats)
            if (f.pixelFormat == pixelFormat) return &f;
        return nullptr;
    }

    struct Buffer {
        std::vector<uint8_t> memory;
        uint32_t bytesUsed = 0;
        uint32_t flags = 0;
    };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Buffer> buffers_;
    std::deque<unsigned> queued_;  // waiting to be filled
    std::deque<unsigned> done_;    // filled, waiting for DQBUF
    v4l2_pix_format format_{};
    v4l2_fract interval_{0, 0};
    bool streaming_ = false;
    bool unplugged_ = false;
    bool streamError_ = false;
    int openHandles_ = 0;
    int mappings_ = 0;
    int streamOns_ = 0;
    uint64_t produced_ = 0;
    uint64_t requeued_ = 0;
};

class FakeHandle final : public pictavo::V4l2Handle {
  public:
    explicit FakeHandle(std::shared_ptr<FakeV4l2Device> device) : device_(std::move(device)) {
        device_->opened();
    }
    ~FakeHandle() override { device_->closed(); }
    int control(unsigned long request, void* argument) override {
        return device_->ioctl(request, argument);
    }
    void* map(size_t length, int64_t offset) override { return device_->map(length, offset); }
    void unmap(void*, size_t) override { device_->unmap(); }
    int waitReadable(int timeoutMs) override { return device_->waitReadable(timeoutMs); }

  private:
    std::shared_ptr<FakeV4l2Device> device_;
};

// Device nodes by path; a path with an error opens with that error.
class FakeV4l2Io final : public pictavo::V4l2Io {
  public:
    std::unique_ptr<pictavo::V4l2Handle> open(const std::string& path, int& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto failing = errors.find(path);
        if (failing != errors.end()) {
            error = failing->second;
            return nullptr;
        }
        const auto it = devices.find(path);
        if (it == devices.end()) {
            error = ENOENT;
            return nullptr;
        }
        error = 0;
        return std::make_unique<FakeHandle>(it->second);
    }

    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<FakeV4l2Device>> devices;
    std::map<std::string, int> errors;
};

// A YUYV frame whose top half is one colour and bottom half another, each given as Y, U, V.
inline std::vector<uint8_t> yuyvFrame(int width, int height, const uint8_t top[3],
                                      const uint8_t bottom[3]) {
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(width) * height * 2);
    for (int y = 0; y < height; ++y) {
        const uint8_t* c = y < height / 2 ? top : bottom;
        for (int x = 0; x < width; x += 2) {
            bytes.push_back(c[0]);
            bytes.push_back(c[1]);
            bytes.push_back(c[0]);
            bytes.push_back(c[2]);
        }
    }
    return bytes;
}

// The same picture in another layout: packed UYVY, semi-planar NV12, planar YVU420 (YV12), or
// YUYV. Rows are packed tight.
inline std::vector<uint8_t> yuvFrame(uint32_t format, int width, int height, const uint8_t top[3],
                                     const uint8_t bottom[3]) {
    if (format == V4L2_PIX_FMT_YUYV) return yuyvFrame(width, height, top, bottom);
    std::vector<uint8_t> bytes;
    const auto colour = [&](int y) { return y < height / 2 ? top : bottom; };
    if (format == V4L2_PIX_FMT_UYVY) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; x += 2) {
                const uint8_t* c = colour(y);
                bytes.insert(bytes.end(), {c[1], c[0], c[2], c[0]});
            }
        return bytes;
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) bytes.push_back(colour(y)[0]);
    if (format == V4L2_PIX_FMT_NV12) {
        for (int y = 0; y < height; y += 2)
            for (int x = 0; x < width; x += 2) bytes.insert(bytes.end(), {colour(y)[1], colour(y)[2]});
    } else {  // YVU420: the V plane, then the U plane
        for (const int component : {2, 1})
            for (int y = 0; y < height; y += 2)
                for (int x = 0; x < width; x += 2) bytes.push_back(colour(y)[component]);
    }
    return bytes;
}

}  // namespace pictavo_test
