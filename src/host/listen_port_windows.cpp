// Probing the listening port with a bind that is released at once (Winsock).
#include <winsock2.h>
#include <ws2tcpip.h>

#include "host/listen_port.h"

namespace lenvaro {

bool listenPortIsFree(const std::string& address, uint16_t port) {
    if (port == 0) return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return true;
    bool inUse = false;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) == 1) {
        const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (probe != INVALID_SOCKET) {
            // Exclusive, as the endpoint binds on Windows: a port another socket listens on
            // counts as taken.
            const BOOL on = TRUE;
            setsockopt(probe, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
            if (bind(probe, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
                const int error = WSAGetLastError();
                inUse = error == WSAEADDRINUSE || error == WSAEACCES;
            }
            closesocket(probe);
        }
    }
    WSACleanup();
    return !inUse;
}

}  // namespace lenvaro
