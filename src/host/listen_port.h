// Whether the service's listening port is free, for a relaunched copy that must wait for the
// crashed one to let go of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace lenvaro {

// True when a socket can be bound to address:port now, as the endpoint binds it (address reuse
// on). Port 0 is always free. Errors other than "in use" count as free: the endpoint will
// report them itself.
bool listenPortIsFree(const std::string& address, uint16_t port);

// Waits until listenPortIsFree or the deadline; returns whether it became free.
bool waitForListenPort(const std::string& address, uint16_t port,
                       std::chrono::steady_clock::time_point deadline);

}  // namespace lenvaro
