// The WebSocket endpoint over websocketpp and Boost.Asio.
#include "service/ws_server.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <utility>

#include <boost/asio/steady_timer.hpp>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "common/file_io.h"
#include "files/text_encoding.h"
#include "service/command_worker.h"
#include "service/handshake_policy.h"
#include "service/http_routes.h"
#include "service/socket_progress.h"

namespace lenvaro {
namespace {

// The asio configuration without permessage-deflate: websocketpp does not bound the inflated
// size of a compressed message, so a small frame could inflate to gigabytes.
struct ServerConfig : public websocketpp::config::asio {};

using Server = websocketpp::server<ServerConfig>;
using ConnectionHandle = websocketpp::connection_hdl;

constexpr int kListenBacklog = 8192;
constexpr auto kQueueRefreshInterval = std::chrono::milliseconds(10);
// How long a connection closed for holding too much unsent data may take to answer the close
// before it is cut.
constexpr long kOverLimitCloseTimeoutMs = 1000;

// The I/O loop. After each piece of work it keeps looking for the next one a moment before it
// sleeps in the kernel: a reply from the command worker usually follows a request within
// microseconds, and being woken for it (through the kernel and, on a busy machine, the scheduler)
// would cost more than the command itself.
void runLoop(boost::asio::io_context& io) {
    constexpr auto kLookBeforeSleeping = std::chrono::microseconds(50);
    auto lastWork = std::chrono::steady_clock::now();
    while (!io.stopped()) {
        if (io.poll() > 0) {
            lastWork = std::chrono::steady_clock::now();
            continue;
        }
        if (std::chrono::steady_clock::now() - lastWork < kLookBeforeSleeping) {
            std::this_thread::yield();
            continue;
        }
        if (io.run_one() == 0) break;
        lastWork = std::chrono::steady_clock::now();
    }
}

}  // namespace

struct WsServer::Endpoint {
    Server server;
    // Made once the I/O service exists.
    std::unique_ptr<boost::asio::steady_timer> refreshTimer;
    std::unique_ptr<boost::asio::steady_timer> stopTimer;
};

// One open connection. Shared by the I/O thread (which owns the websocketpp connection), the
// command worker (requests in flight) and sending threads (messages posted to it).
struct WsServer::Connection {
    ConnectionId id = 0;
    ConnectionHandle handle;
    // Handed to the I/O thread for this connection and not yet to websocketpp.
    std::atomic<size_t> postedBytes{0};
    // What websocketpp holds behind the write under way (the page has not begun to take it), as
    // last seen (written on the I/O thread).
    std::atomic<size_t> bufferedBytes{0};
    // When the page was last seen taking: websocketpp's queue emptied into a write, or shrank
    // because a write ended and the next began, or the peer acknowledged more of the write under
    // way (where the system tells). Under WsServer::mutex_.
    std::chrono::steady_clock::time_point lastTaken = std::chrono::steady_clock::now();
    uint64_t bytesTaken = 0;  // the peer's acknowledged bytes, as last seen
    // The size of a reply waiting to be handed over until the page has taken enough. Under
    // WsServer::mutex_.
    size_t replyWaiting = 0;
    // Closed (by the page, or for having stopped reading): nothing more is sent, pushes go to
    // another page.
    std::atomic<bool> closing{false};
    // Requests received and not yet taken by the command worker.
    std::atomic<size_t> waitingRequests{0};
    std::atomic<size_t> waitingBytes{0};
    std::atomic<bool> readingPaused{false};  // changed on the I/O thread only
    // websocketpp keeps a connection alive only through the reads and writes it has under way:
    // one whose reading is paused and that has nothing to send would be destroyed (and its
    // socket closed). It is held here while paused. Under WsServer::mutex_.
    std::shared_ptr<void> heldWhilePaused;

    size_t unsentBytes() const { return postedBytes.load() + bufferedBytes.load(); }

    // The page has let more than the cap wait and taken none of it for kStalledAfter. Mutex held.
    bool stalled(size_t queued, std::chrono::steady_clock::time_point now) const {
        return queued > kMaxUnsentBytes && now - lastTaken > kStalledAfter;
    }
};

WsServer::WsServer(Handlers handlers) : handlers_(std::move(handlers)) {
    worker_ = std::make_unique<CommandWorker>([this](CommandWorker::Request& request) {
        runRequest(request.from, request.text, std::static_pointer_cast<Connection>(request.context));
    });
}

WsServer::~WsServer() { stopCommands(); }

void WsServer::stopCommands() {
    {
        // A reply waiting for its page goes out now: the command it ends must not hold the quit.
        std::lock_guard<std::mutex> lock(mutex_);
        commandsStopping_ = true;
        taken_.notify_all();
    }
    worker_->stop();
}

bool WsServer::run(const std::string& address, uint16_t port) {
    Endpoint endpoint;
    Server& server = endpoint.server;
    bool ok = true;
    try {
        server.clear_access_channels(websocketpp::log::alevel::all);
        server.clear_error_channels(websocketpp::log::elevel::all);
        server.init_asio();
        endpoint.refreshTimer = std::make_unique<boost::asio::steady_timer>(server.get_io_service());
        endpoint.stopTimer = std::make_unique<boost::asio::steady_timer>(server.get_io_service());
        server.set_reuse_addr(kReuseListenAddress);
        server.set_max_message_size(kMaxMessageBytes);

        // Handshakes from origins not let in, or naming a Host other than loopback while the
        // service listens on loopback, get 403 (websocketpp would answer 400 by itself).
        HandshakePolicy policy;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            policy = makeHandshakePolicy(allowedOriginSettings_, address);
        }
        server.set_validate_handler([&server, policy](ConnectionHandle handle) {
            try {
                auto connection = server.get_con_from_hdl(handle);
                const HandshakeVerdict verdict = judgeHandshake(
                    policy, connection->get_request_header("Host"), connection->get_request_header("Origin"));
                if (verdict == HandshakeVerdict::Accept) return true;
                connection->set_status(websocketpp::http::status_code::forbidden);
            } catch (const std::exception&) {
                // A connection gone meanwhile: refused all the same.
            }
            return false;
        });

        // Each opened connection gets handlers of its own (bound to its state), see opened().
        server.set_open_handler([this](ConnectionHandle handle) { opened(handle); });
        // Nagle off on every accepted socket. The socket-initialisation hook runs before the
        // socket is open, where the option cannot be set; after the accept it can.
        // Both also keep the service's sockets out of programs it starts (Asio opens and
        // accepts without close-on-exec).
        server.set_tcp_post_init_handler([&server](ConnectionHandle connection) {
            websocketpp::lib::error_code error;
            auto accepted = server.get_con_from_hdl(connection, error);
            if (error) return;
            boost::system::error_code ignored;
            accepted->get_socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
            keepFromChildProcesses(accepted->get_socket().native_handle());
        });
        server.set_tcp_pre_bind_handler([](const auto& acceptor) {
            prepareListeningSocket(acceptor->native_handle());
            return websocketpp::lib::error_code();
        });
        // Every plain HTTP request: GET /status, the demo page, the client library (http_routes.h).
        // The service's state in /status only for those the handshake policy would let in.
        HttpRoutes routes = HttpRoutes::forThisService(handlers_.statusMembers);
        server.set_http_handler([&server, policy, routes = std::move(routes)](ConnectionHandle handle) {
            try {
                auto connection = server.get_con_from_hdl(handle);
                const bool showState = mayReadServiceState(policy, connection->get_request_header("Host"),
                                                           connection->get_request_header("Origin"));
                const HttpAnswer answer =
                    routes.answer(connection->get_request().get_method(), connection->get_resource(), showState);
                connection->set_status(static_cast<websocketpp::http::status_code::value>(answer.status));
                for (const auto& [name, value] : answer.headers) connection->replace_header(name, value);
                if (answer.sendBody) {
                    connection->set_body(answer.body);
                } else {
                    connection->replace_header("Content-Length", std::to_string(answer.body.size()));
                }
            } catch (const std::exception&) {
                // A connection gone meanwhile; nothing to answer.
            }
        });

        server.set_listen_backlog(kListenBacklog);
        // Given the address, listen() binds that IPv4 address only; the port alone would bind
        // every IPv6 and IPv4 address.
        server.listen(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4(address), port));
        server.start_accept();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            endpoint_ = &endpoint;
            serviceThread_ = std::this_thread::get_id();
            if (stopRequested_) server.stop_listening();
        }
        if (handlers_.onListening) {
            boost::system::error_code error;
            const auto local = server.get_local_endpoint(error);
            handlers_.onListening(address, error ? port : local.port());
        }
        runLoop(server.get_io_service());
    } catch (const websocketpp::exception& error) {
        std::cout << "exception: " << error.what() << std::endl;
        ok = false;
    } catch (const boost::system::system_error& error) {
        std::cout << "exception: " << error.what() << std::endl;
        ok = false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        endpoint_ = nullptr;
        // A connection held while paused would otherwise keep itself (its handlers hold this
        // state) past the endpoint.
        for (const auto& [id, connection] : connections_) {
            connection->heldWhilePaused.reset();
            connection->closing = true;
        }
        connections_.clear();
        serviceThread_ = std::thread::id();
        taken_.notify_all();
    }
    if (!ok) {
        // There is no message box on a headless desktop service: the same words go to
        // standard error, in the user's character set.
        std::cerr << utf8ToAnsi("服务开启失败！") << std::endl;
    }
    return ok;
}

void WsServer::stop(std::chrono::milliseconds grace) {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
    taken_.notify_all();
    if (endpoint_ == nullptr) return;
    Endpoint* endpoint = endpoint_;
    // What was handed to the I/O thread before (a last reply) still goes out: every page is told
    // the service is going away (1001) after it, and the loop ends once all have closed, or
    // after a short grace for pages that do not answer.
    boost::asio::post(endpoint->server.get_io_service(), [this, endpoint, grace] {
        std::lock_guard<std::mutex> lock(mutex_);
        websocketpp::lib::error_code ignored;
        endpoint->server.stop_listening(ignored);
        endpoint->refreshTimer->cancel();
        if (connections_.empty()) {
            endpoint->server.stop();
            return;
        }
        for (const auto& [id, connection] : connections_) {
            auto open = endpoint->server.get_con_from_hdl(connection->handle, ignored);
            if (!ignored) open->close(websocketpp::close::status::going_away, "service stopping", ignored);
        }
        endpoint->stopTimer->expires_after(grace);
        endpoint->stopTimer->async_wait([endpoint](const boost::system::error_code& error) {
            if (!error) endpoint->server.stop();
        });
    });
}

void WsServer::opened(const std::weak_ptr<void>& handle) {
    size_t open = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (endpoint_ == nullptr) return;
        websocketpp::lib::error_code error;
        const auto connection = endpoint_->server.get_con_from_hdl(handle, error);
        if (error) return;
        auto state = std::make_shared<Connection>();
        state->id = ++lastConnectionId_;
        state->handle = handle;
        // The connection's own handlers carry its state: no lookup per message.
        connection->set_message_handler([this, state](ConnectionHandle, Server::message_ptr message) {
            // Text and binary frames alike carry a request. The conversion to the internal code
            // page is the worker's: a 64 MiB text would hold up every other page here.
            received(state, std::move(message->get_raw_payload()));
        });
        connection->set_close_handler([this, id = state->id](ConnectionHandle) { closed(id); });
        connections_.emplace(state->id, std::move(state));
        open = connections_.size();
    }
    if (handlers_.onConnectionCount) handlers_.onConnectionCount(open);
}

void WsServer::closed(ConnectionId id) {
    size_t open = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (const auto found = connections_.find(id); found != connections_.end()) {
            found->second->heldWhilePaused.reset();
            found->second->closing = true;
            connections_.erase(found);
        }
        taken_.notify_all();
        open = connections_.size();
        // Stopping, the last page gone: nothing is left to wait for.
        if (stopRequested_ && open == 0 && endpoint_ != nullptr) endpoint_->server.stop();
    }
    // Pushes go on to the page opened before it; only when none is left do they stop.
    if (handlers_.onConnectionCount) handlers_.onConnectionCount(open);
}

// I/O thread, in the connection's own message handler: a pause takes effect before websocketpp
// reads on (see below).
void WsServer::received(const std::shared_ptr<Connection>& connection, std::string payload) {
    const size_t waiting = ++connection->waitingRequests;
    const size_t waitingBytes = connection->waitingBytes += payload.size();
    const size_t waitingAll = ++waitingRequestsAll_;
    const size_t waitingBytesAll = waitingBytesAll_ += payload.size();
    const bool overOwnBound = waiting > kMaxWaitingRequests || waitingBytes > kMaxWaitingRequestBytes;
    const bool overAllBound = waitingAll > kMaxWaitingRequestsAll || waitingBytesAll > kMaxWaitingRequestBytesAll;
    if (overAllBound) overAllBound_ = true;
    if ((overOwnBound || overAllBound_.load()) && !connection->readingPaused.exchange(true)) {
        std::lock_guard<std::mutex> lock(mutex_);
        websocketpp::lib::error_code ignored;
        if (endpoint_ != nullptr) {
            auto paused = endpoint_->server.get_con_from_hdl(connection->handle, ignored);
            if (!ignored) {
                // At once rather than through pause_reading(), which posts it: websocketpp
                // would start its next read first, and resuming would then start a second read
                // beside it on the same buffer.
                paused->handle_pause_reading();
                connection->heldWhilePaused = paused;
            }
        }
    }
    worker_->submit({connection->id, std::move(payload), connection});
}

// I/O thread, mutex held. Reading resumes on a page once half its own backlog is worked off, and
// half of all pages' together.
void WsServer::reviewPausedReadingLocked() {
    if (overAllBound_.load() && waitingRequestsAll_.load() <= kMaxWaitingRequestsAll / 2 &&
        waitingBytesAll_.load() <= kMaxWaitingRequestBytesAll / 2) {
        overAllBound_ = false;
    }
    if (overAllBound_.load() || endpoint_ == nullptr) return;
    for (const auto& [id, connection] : connections_) {
        if (!connection->readingPaused.load() || connection->waitingRequests.load() > kMaxWaitingRequests / 2 ||
            connection->waitingBytes.load() > kMaxWaitingRequestBytes / 2) {
            continue;
        }
        connection->readingPaused = false;
        websocketpp::lib::error_code error;
        auto resumed = endpoint_->server.get_con_from_hdl(connection->handle, error);
        if (!error) resumed->resume_reading();
        connection->heldWhilePaused.reset();
    }
}

void WsServer::runRequest(ConnectionId from, std::string& text,
                          const std::shared_ptr<Connection>& connection) {
    const size_t waiting = --connection->waitingRequests;
    const size_t waitingBytes = connection->waitingBytes -= text.size();
    const size_t waitingAll = --waitingRequestsAll_;
    const size_t waitingBytesAll = waitingBytesAll_ -= text.size();
    const bool ownMayResume = connection->readingPaused.load() && waiting <= kMaxWaitingRequests / 2 &&
                              waitingBytes <= kMaxWaitingRequestBytes / 2;
    const bool allMayResume = overAllBound_.load() && waitingAll <= kMaxWaitingRequestsAll / 2 &&
                              waitingBytesAll <= kMaxWaitingRequestBytesAll / 2;
    if ((ownMayResume || allMayResume) && !reviewPosted_.exchange(true)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (endpoint_ != nullptr) {
            boost::asio::post(endpoint_->server.get_io_service(), [this] {
                std::lock_guard<std::mutex> lock(mutex_);
                reviewPosted_ = false;
                reviewPausedReadingLocked();
            });
        } else {
            reviewPosted_ = false;
        }
    }
    const ReplyRouteScope route(ReplyRoute{from, false});
    if (handlers_.onRequest) handlers_.onRequest(std::move(text));
}

std::shared_ptr<WsServer::Connection> WsServer::newestOpenLocked() const {
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
        if (!it->second->closing.load()) return it->second;
    }
    return nullptr;
}

std::shared_ptr<WsServer::Connection> WsServer::targetLocked(const ReplyRoute& route) const {
    if (route.connection != 0) {
        const auto found = connections_.find(route.connection);
        if (found != connections_.end() && !found->second->closing.load()) return found->second;
        // A reply whose page has gone is lost: another page must never see it.
        if (!route.fallBackToNewest) return nullptr;
    }
    return newestOpenLocked();
}

void WsServer::sendText(std::string text) {
    const ReplyRoute route = currentReplyRoute();
    // A reply to a request comes from the command worker, which may wait for its page; pushes
    // come from library threads and background matches, which must not.
    const bool mayWait = route.connection != 0 && !route.fallBackToNewest;
    std::string utf8 = ansiToUtf8(std::move(text));
    std::unique_lock<std::mutex> lock(mutex_);
    if (endpoint_ == nullptr) return;
    std::shared_ptr<Connection> target = targetLocked(route);
    if (!target) return;
    if (std::this_thread::get_id() == serviceThread_) {
        deliverLocked(target, utf8);
        return;
    }
    // Other threads hand the text to the I/O thread, which owns every connection. Only what the
    // page has not begun to take counts: a page that reads is never closed for what it asked,
    // however large, it only makes the next reply wait.
    const size_t size = utf8.size();
    // Whether the page has stopped reading is judged on the I/O thread, which sees it take (a
    // sender that waits could take a busy I/O thread for a page that stopped).
    for (;;) {
        if (endpoint_ == nullptr || target->closing.load()) {
            target->replyWaiting = 0;
            return;
        }
        const size_t unsent = target->unsentBytes();
        if (unsent == 0 || unsent + size <= kMaxUnsentBytes || stopRequested_ || commandsStopping_ || !mayWait) break;
        target->replyWaiting = size;
        taken_.wait_for(lock, 2 * kQueueRefreshInterval);
    }
    target->replyWaiting = 0;
    target->postedBytes += size;
    boost::asio::post(endpoint_->server.get_io_service(),
                      [this, target = std::move(target), message = std::move(utf8), size] {
                          std::lock_guard<std::mutex> lock(mutex_);
                          target->postedBytes -= size;
                          if (endpoint_ != nullptr) deliverLocked(target, message);
                      });
}

// I/O thread, mutex held.
void WsServer::deliverLocked(const std::shared_ptr<Connection>& connection, const std::string& utf8) {
    if (connection->closing.load()) return;
    websocketpp::lib::error_code error;
    auto open = endpoint_->server.get_con_from_hdl(connection->handle, error);
    if (error) return;
    const size_t queued = open->get_buffered_amount();
    const auto now = std::chrono::steady_clock::now();
    // Nothing queued: the page has everything before this in its write, or taken.
    if (queued == 0) connection->lastTaken = now;
    if (queued != 0 && connection->stalled(queued + utf8.size(), now)) {
        closeOverLimitLocked(connection);
        return;
    }
    // A refused send (a connection that is closing) loses the message, nothing more.
    open->send(utf8, websocketpp::frame::opcode::text);
    connection->bufferedBytes = open->get_buffered_amount();
    if (connection->bufferedBytes.load() != 0) armQueueRefreshLocked();
}

// Any thread, mutex held.
void WsServer::closeOverLimitLocked(const std::shared_ptr<Connection>& connection) {
    if (connection->closing.exchange(true)) return;
    taken_.notify_all();  // a reply waiting for this page is dropped
    // The close itself is the I/O thread's. The page is not reading, so the close frame waits
    // behind what it holds: the connection is cut after a short wait for the peer's answer,
    // which frees everything queued on it.
    boost::asio::post(endpoint_->server.get_io_service(), [this, connection] {
        std::lock_guard<std::mutex> lock(mutex_);
        if (endpoint_ == nullptr) return;
        websocketpp::lib::error_code error;
        auto open = endpoint_->server.get_con_from_hdl(connection->handle, error);
        if (error) return;
        open->set_close_handshake_timeout(kOverLimitCloseTimeoutMs);
        open->close(websocketpp::close::status::policy_violation, "too much unsent data", error);
    });
}

// I/O thread, mutex held. While any connection holds unsent bytes, their counts are refreshed
// every few milliseconds, so that they fall as pages read.
void WsServer::armQueueRefreshLocked() {
    if (refreshArmed_) return;
    refreshArmed_ = true;
    endpoint_->refreshTimer->expires_after(kQueueRefreshInterval);
    endpoint_->refreshTimer->async_wait([this](const boost::system::error_code& error) {
        std::lock_guard<std::mutex> lock(mutex_);
        refreshArmed_ = false;
        if (error || endpoint_ == nullptr) return;
        refreshQueuedBytesLocked();
    });
}

void WsServer::refreshQueuedBytesLocked() {
    bool anyWaiting = false;
    bool anyTaken = false;
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [id, connection] : connections_) {
        websocketpp::lib::error_code error;
        auto open = endpoint_->server.get_con_from_hdl(connection->handle, error);
        const size_t before = connection->bufferedBytes.load();
        const size_t queued = error ? 0 : open->get_buffered_amount();
        connection->bufferedBytes = queued;
        // A large message to a page reading at browser speed takes seconds to write: the
        // kernel's count shows the page taking it meanwhile.
        const std::optional<uint64_t> acknowledged =
            error || queued == 0 ? std::nullopt : bytesTakenByPeer(open->get_socket().native_handle());
        if (acknowledged && *acknowledged != connection->bytesTaken) {
            connection->bytesTaken = *acknowledged;
            connection->lastTaken = now;
        }
        if (queued < before) {
            // websocketpp took queued messages into a write: the one before has gone out.
            connection->lastTaken = now;
            anyTaken = true;
        } else if (!error && connection->stalled(queued + connection->replyWaiting, now)) {
            // Stopped reading with more than the cap waiting: freed now, not at its next message.
            closeOverLimitLocked(connection);
        }
        anyWaiting = anyWaiting || queued != 0;
    }
    if (anyTaken) taken_.notify_all();
    if (anyWaiting) armQueueRefreshLocked();
}

void WsServer::setAllowedOrigins(std::vector<std::string> allowedOriginSettings) {
    std::lock_guard<std::mutex> lock(mutex_);
    allowedOriginSettings_ = std::move(allowedOriginSettings);
}

size_t WsServer::queuedBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Connection> target = newestOpenLocked();
    return target ? target->unsentBytes() : 0;
}

size_t WsServer::openConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

}  // namespace lenvaro
