// The service thread: reads where to listen and runs the WebSocket endpoint there.
#pragma once

#include <string>

namespace lenvaro {

class WsServer;
struct ListenSettings;

// Reads cfg/exeCfg.xml beside the executable (warnings to standard error) and runs the endpoint
// until it stops. Returns false when the endpoint could not start.
bool serviceThreadMain(WsServer& server, const std::string& moduleDir);

// Runs the endpoint with settings already read. Returns false when it could not start.
bool serviceThreadMain(WsServer& server, const ListenSettings& settings);

}  // namespace lenvaro
