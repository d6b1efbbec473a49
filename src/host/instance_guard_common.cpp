// What the guard does alike on every platform.
#include <thread>

#include "host/instance_guard.h"

namespace lenvaro {

InstanceGuard::Outcome InstanceGuard::acquireWithin(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const Outcome outcome = tryAcquire();
        if (outcome != Outcome::HeldByAnother || std::chrono::steady_clock::now() >= deadline) return outcome;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace lenvaro
