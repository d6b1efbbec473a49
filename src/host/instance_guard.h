// The per-user single-instance guard "LenvaroServer": a lock on a file that the system releases
// when the holder dies, however it dies (on Windows, the session's named mutex "LenvaroServer",
// which the system removes with the last process holding it).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace lenvaro {

// $XDG_RUNTIME_DIR/LenvaroServer.lock when the session has a runtime directory, else
// <temporary folder>/LenvaroServer-<uid>.lock (the uid keeps users apart in a shared /tmp).
// On Windows the mutex name, "LenvaroServer".
std::string defaultGuardPath();

class InstanceGuard {
public:
    enum class Outcome { Acquired, HeldByAnother, Failed };

    explicit InstanceGuard(std::string lockPath);
    ~InstanceGuard();  // releases the guard (the file stays: removing it would race a new holder)
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Takes the guard if nobody holds it, and records this process's id in the file.
    // Failed: the file cannot be made or belongs to someone else (see error()).
    Outcome tryAcquire();

    // Tries until the guard is free or `patience` has passed (a relaunched instance waits for
    // the crashed one to be gone).
    Outcome acquireWithin(std::chrono::milliseconds patience);

    bool held() const { return fd_ >= 0 && held_; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

private:
    std::string path_;
    std::string error_;
    int fd_ = -1;            // Linux: the lock file; Windows: 0 while the mutex is held
    void* mutex_ = nullptr;  // Windows: the named mutex
    bool held_ = false;
};

// The process id recorded by the holder of the guard at lockPath; 0 when nobody holds it, -1
// when it is held but the id cannot be read or is not believed (`refusal` then says why when
// given): on Linux only a file of this user that no one else can write, naming a process that has
// it open, is believed.
pid_t runningInstance(const std::string& lockPath, std::string* refusal = nullptr);

// Linux: whether process `pid` runs the same program as this process (also after that program
// was replaced on disk by an upgrade).
bool runsThisProgram(pid_t pid);

}  // namespace lenvaro
