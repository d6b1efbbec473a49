// The single-instance guard as the session's named mutex.
#include <windows.h>

#include "common/windows_text.h"
#include "host/instance_guard.h"

namespace lenvaro {

std::string defaultGuardPath() { return "LenvaroServer"; }

InstanceGuard::InstanceGuard(std::string lockPath) : path_(std::move(lockPath)) {}

InstanceGuard::~InstanceGuard() {
    if (mutex_ != nullptr) CloseHandle(static_cast<HANDLE>(mutex_));
}

InstanceGuard::Outcome InstanceGuard::tryAcquire() {
    if (held_) return Outcome::Acquired;
    // Not owned: the guard is the mutex's existence, which ends when the last handle to it
    // closes, that is when this process ends, however it ends.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, internalToWide(path_).c_str());
    const DWORD error = GetLastError();
    if (mutex == nullptr) {
        if (error == ERROR_ACCESS_DENIED) return Outcome::HeldByAnother;  // another user's
        error_ = "cannot create the mutex " + path_ + " (system error " + std::to_string(error) + ")";
        return Outcome::Failed;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return Outcome::HeldByAnother;
    }
    mutex_ = mutex;
    fd_ = 0;
    held_ = true;
    return Outcome::Acquired;
}

pid_t runningInstance(const std::string& lockPath) {
    // The mutex does not tell who holds it: -1 while it exists, 0 once it is gone.
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, internalToWide(lockPath).c_str());
    if (mutex == nullptr) return GetLastError() == ERROR_ACCESS_DENIED ? -1 : 0;
    CloseHandle(mutex);
    return -1;
}

}  // namespace lenvaro
