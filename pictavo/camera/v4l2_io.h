// The few system calls a V4L2 camera needs (open, ioctl, mmap, poll), behind an interface so
// that the enumeration, the format lists and the streaming loop can be driven by a scripted
// device in the tests. The system implementation is a thin wrapper over the real calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pictavo {

// One open video node. Closed by its destructor. Every call returns 0 or the errno value of the
// failure (never -1), so callers can tell a busy device from an unplugged one.
class V4l2Handle {
  public:
    virtual ~V4l2Handle() = default;
    // ioctl(2), retried on EINTR.
    virtual int control(unsigned long request, void* argument) = 0;
    // mmap(2) of a driver buffer for reading; null on failure.
    virtual void* map(size_t length, int64_t offset) = 0;
    virtual void unmap(void* address, size_t length) = 0;
    // Waits up to `timeoutMs` for a filled buffer: 1 ready, 0 timed out, or a negative errno:
    // -ENODEV when the device hung up (unplugged, or its driver let go of it), -EIO when it
    // reports an error but is still there (the driver's stream failed and must be restarted).
    virtual int waitReadable(int timeoutMs) = 0;
};

class V4l2Io {
  public:
    virtual ~V4l2Io() = default;
    // Opens `path` for reading and writing without blocking; null with `error` set (EACCES for
    // a user outside the `video` group, ENOENT or ENODEV for a node that went away).
    virtual std::unique_ptr<V4l2Handle> open(const std::string& path, int& error) = 0;
};

// The real system calls.
std::shared_ptr<V4l2Io> systemV4l2Io();

// A driver buffer mapped into memory; unmapped by the destructor. Must not outlive its handle.
class MappedBuffer {
  public:
    MappedBuffer() = default;
    MappedBuffer(V4l2Handle* handle, void* address, size_t length)
        : handle_(handle), address_(address), length_(length) {}
    ~MappedBuffer() { reset(); }
    MappedBuffer(MappedBuffer&& other) noexcept { *this = std::move(other); }
    MappedBuffer& operator=(MappedBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            address_ = other.address_;
            length_ = other.length_;
            other.handle_ = nullptr;
            other.address_ = nullptr;
            other.length_ = 0;
        }
        return *this;
    }
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;

    const uint8_t* data() const { return static_cast<const uint8_t*>(address_); }
    size_t size() const { return length_; }
    void reset() {
        if (handle_ != nullptr && address_ != nullptr) handle_->unmap(address_, length_);
        handle_ = nullptr;
        address_ = nullptr;
        length_ = 0;
    }

  private:
    V4l2Handle* handle_ = nullptr;
    void* address_ = nullptr;
    size_t length_ = 0;
};

}  // namespace pictavo
