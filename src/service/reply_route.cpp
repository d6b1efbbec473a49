// The calling thread's reply route.
#include "service/reply_route.h"

namespace lenvaro {
namespace {

// Threads that never set one (library callbacks, workers before they adopt a route) push.
thread_local ReplyRoute theRoute;

}  // namespace

ReplyRoute currentReplyRoute() { return theRoute; }

ReplyRouteScope::ReplyRouteScope(ReplyRoute route) : previous_(theRoute) { theRoute = route; }

ReplyRouteScope::~ReplyRouteScope() { theRoute = previous_; }

}  // namespace lenvaro
