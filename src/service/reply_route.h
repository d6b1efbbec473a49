// Where a message sent from the calling thread goes. Handlers do not know which connection asked:
// the command worker sets the route around each request, and sendText reads it, so a reply finds
// the page that asked without being handed down through every handler.
#pragma once

#include <cstdint>

namespace lenvaro {

// A connection, numbered in opening order from 1; 0 is none.
using ConnectionId = uint64_t;

struct ReplyRoute {
    // The connection that asked; 0: nobody asked (a push).
    ConnectionId connection = 0;
    // When that connection has closed: false drops the message (a reply is never shown to
    // another page), true hands it to the newest open connection like a push.
    bool fallBackToNewest = false;
};

// The route of the calling thread: what the innermost ReplyRouteScope set, else a push route.
ReplyRoute currentReplyRoute();

// Sets the calling thread's route for its lifetime; restores the previous one after.
class ReplyRouteScope {
public:
    explicit ReplyRouteScope(ReplyRoute route);
    ~ReplyRouteScope();
    ReplyRouteScope(const ReplyRouteScope&) = delete;
    ReplyRouteScope& operator=(const ReplyRouteScope&) = delete;

private:
    ReplyRoute previous_;
};

}  // namespace lenvaro
