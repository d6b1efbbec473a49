// The kernel's count of acknowledged bytes (Linux 4.1 and later).
#include "service/socket_progress.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace lenvaro {

std::optional<uint64_t> bytesTakenByPeer(uintptr_t nativeSocket) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(static_cast<int>(nativeSocket), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
    // An older kernel fills less of the record than holds the count.
    if (length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return std::nullopt;
    return static_cast<uint64_t>(info.tcpi_bytes_acked);
}

}  // namespace lenvaro
