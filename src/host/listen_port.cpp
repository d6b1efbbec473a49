// Waiting for the listening port (the probe itself is in listen_port_linux.cpp and
// listen_port_windows.cpp).
#include "host/listen_port.h"

#include <thread>

namespace lenvaro {

bool waitForListenPort(const std::string& address, uint16_t port,
                       std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (listenPortIsFree(address, port)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace lenvaro
