// What the service is doing, for the desktop's icon: where it listens, how many pages are
// connected, which camera a page has open, whether the capture library started. The threads
// that know write it (the I/O thread, the command worker, the host); the icon's thread reads it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace lenvaro {

class ServiceStatus {
public:
    enum class Endpoint {
        Starting,      // not listening yet
        Listening,
        PortInUse,     // another program holds the port
        CannotListen,  // any other failure to listen (an address this computer does not have)
    };

    struct Snapshot {
        Endpoint endpoint = Endpoint::Starting;
        std::string address;  // the address listened on, as configured
        uint16_t port = 0;    // the port listened on once listening; the configured one before
        size_t pages = 0;     // connected pages
        int32_t openCamera = kNoCamera;
        int32_t libraryStatus = 0;  // what camInitCameraLib returned; 0 is success
    };

    static constexpr int32_t kNoCamera = -1;

    ServiceStatus() = default;
    ServiceStatus(std::string address, uint16_t configuredPort);
    ServiceStatus(const ServiceStatus&) = delete;
    ServiceStatus& operator=(const ServiceStatus&) = delete;

    // Called after every change, on the thread that made it: it must not block. Set once,
    // before any thread writes.
    void setChangeHook(std::function<void()> hook) { changed_ = std::move(hook); }

    // Each setter stores one whole value; any thread.
    void setListening(uint16_t port);
    void setEndpointProblem(Endpoint problem);
    void setPages(size_t pages);
    void setOpenCamera(int32_t device);
    // A camera closed: forgets it when it is the one open.
    void cameraClosed(int32_t device);
    void setLibraryStatus(int32_t status);

    // Each value as last written; any thread.
    Snapshot snapshot() const;

private:
    void notify() const;

    const std::string address_;
    std::atomic<Endpoint> endpoint_{Endpoint::Starting};
    std::atomic<uint16_t> port_{0};
    std::atomic<size_t> pages_{0};
    std::atomic<int32_t> openCamera_{kNoCamera};
    std::atomic<int32_t> libraryStatus_{0};
    std::function<void()> changed_;
};

}  // namespace lenvaro
