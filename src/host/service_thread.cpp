// The service thread's routine.
#include "host/service_thread.h"

#include <iostream>

#include "host/config_reader.h"
#include "service/ws_server.h"

namespace lenvaro {

bool serviceThreadMain(WsServer& server, const std::string& moduleDir) {
    std::string warnings;
    const ListenSettings settings = readListenSettings(configurationPath(moduleDir), warnings);
    if (!warnings.empty()) std::cerr << warnings << std::flush;
    return serviceThreadMain(server, settings);
}

bool serviceThreadMain(WsServer& server, const ListenSettings& settings) {
    return server.run(settings.address, settings.port);
}

}  // namespace lenvaro
