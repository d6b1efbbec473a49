// How much a connected TCP socket's peer has taken: a count that grows while the peer reads and
// stands still once it stops (its receive window full). socket_progress_linux.cpp asks the kernel
// (TCP_INFO, bytes acknowledged); socket_progress_windows.cpp has no such count and says so.
#pragma once

#include <cstdint>
#include <optional>

namespace lenvaro {

// Bytes of this socket's output the peer has acknowledged so far; nothing when the system does
// not tell (the caller then judges by whole messages).
std::optional<uint64_t> bytesTakenByPeer(uintptr_t nativeSocket);

}  // namespace lenvaro
