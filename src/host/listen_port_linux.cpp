// Probing the listening port with a bind that is released at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "host/listen_port.h"

namespace lenvaro {

bool listenPortIsFree(const std::string& address, uint16_t port) {
    if (port == 0) return true;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return true;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    // The endpoint binds with SO_REUSEADDR, so a port held only by connections in TIME_WAIT
    // counts as free, as it does for the endpoint.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool inUse = ::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return !inUse;
}

}  // namespace lenvaro
