// The service's state for the desktop's icon.
#include "service/service_status.h"

namespace lenvaro {

ServiceStatus::ServiceStatus(std::string address, uint16_t configuredPort)
    : address_(std::move(address)), port_(configuredPort) {}

void ServiceStatus::notify() const {
    if (changed_) changed_();
}

void ServiceStatus::setListening(uint16_t port) {
    port_ = port;
    endpoint_ = Endpoint::Listening;
    notify();
}

void ServiceStatus::setEndpointProblem(Endpoint problem) {
    endpoint_ = problem;
    pages_ = 0;
    notify();
}

void ServiceStatus::setPages(size_t pages) {
    pages_ = pages;
    notify();
}

void ServiceStatus::setOpenCamera(int32_t device) {
    openCamera_ = device;
    notify();
}

void ServiceStatus::cameraClosed(int32_t device) {
    int32_t open = device;
    if (openCamera_.compare_exchange_strong(open, kNoCamera)) notify();
}

void ServiceStatus::setLibraryStatus(int32_t status) {
    libraryStatus_ = status;
    notify();
}

ServiceStatus::Snapshot ServiceStatus::snapshot() const {
    Snapshot now;
    now.endpoint = endpoint_;
    now.address = address_;
    now.port = port_;
    now.pages = pages_;
    now.openCamera = openCamera_;
    now.libraryStatus = libraryStatus_;
    return now;
}

}  // namespace lenvaro
