// The WebSocket endpoint over websocketpp and Boost.Asio.
#include "service/ws_server.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <utility>

#include <boost/asio/steady_timer.hpp>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "files/text_encoding.h"
#include "platform/file_io.h"
#include "service/handshake_policy.h"
#include "service/http_routes.h"

namespace lenvaro {
namespace {

// The asio configuration without permessage-deflate: websocketpp does not bound the inflated
// size of a compressed message, so a small frame could inflate to gigabytes.
struct ServerConfig : public websocketpp::config::asio {};

using Server = websocketpp::server<ServerConfig>;
using ConnectionHandle = websocketpp::connection_hdl;

constexpr int kListenBacklog = 8192;
constexpr auto kQueueRefreshInterval = std::chrono::milliseconds(10);

}  // namespace

struct WsServer::Endpoint {
    Server server;
    std::unique_ptr<boost::asio::steady_timer> refreshTimer;  // made once the I/O service exists
};

WsServer::WsServer(Handlers handlers) : handlers_(std::move(handlers)) {}

WsServer::~WsServer() = default;

bool WsServer::run(const std::string& address, uint16_t port) {
    Endpoint endpoint;
    Server& server = endpoint.server;
    bool ok = true;
    try {
        server.clear_access_channels(websocketpp::log::alevel::all);
        server.clear_error_channels(websocketpp::log::elevel::all);
        server.init_asio();
        endpoint.refreshTimer = std::make_unique<boost::asio::steady_timer>(server.get_io_service());
        server.set_reuse_addr(kReuseListenAddress);
        server.set_max_message_size(kMaxMessageBytes);

        // Handshakes from origins not let in, or naming a Host other than loopback while the
        // service listens on loopback, get 403 (websocketpp would answer 400 by itself).
        HandshakePolicy policy;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            policy = makeHandshakePolicy(allowedOriginSettings_, address);
        }
        server.set_validate_handler([&server, policy = std::move(policy)](ConnectionHandle handle) {
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

        server.set_message_handler([this](ConnectionHandle, Server::message_ptr message) {
            // Text and binary frames alike carry a request.
            if (handlers_.onRequest) handlers_.onRequest(utf8ToAnsi(std::move(message->get_raw_payload())));
        });
        server.set_open_handler([this](ConnectionHandle connection) {
            if (handlers_.onOpen) handlers_.onOpen();
            std::lock_guard<std::mutex> lock(mutex_);
            current_ = connection;  // the earlier page stays open but hears nothing more
        });
        server.set_close_handler([this](ConnectionHandle) {
            if (handlers_.onClose) handlers_.onClose();
            std::lock_guard<std::mutex> lock(mutex_);
            current_.reset();  // whichever connection closed
            bufferedBytes_ = 0;
        });
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
        // GET /status and the demo page's files under /demo/; every other plain HTTP request
        // gets websocketpp's default answer.
        server.set_http_handler([&server, routes = HttpRoutes::forThisService()](ConnectionHandle handle) {
            try {
                auto connection = server.get_con_from_hdl(handle);
                const auto answer = routes.answer(connection->get_request().get_method(), connection->get_resource());
                if (!answer) return;
                connection->set_status(static_cast<websocketpp::http::status_code::value>(answer->status));
                for (const auto& [name, value] : answer->headers) connection->replace_header(name, value);
                connection->set_body(answer->body);
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
        server.run();
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
        current_.reset();
        serviceThread_ = std::thread::id();
    }
    if (!ok) {
        // There is no message box on a headless desktop service: the same words go to
        // standard error, in the user's character set.
        std::cerr << utf8ToAnsi("服务开启失败！") << std::endl;
    }
    return ok;
}

void WsServer::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
    if (endpoint_ == nullptr) return;
    Endpoint* endpoint = endpoint_;
    boost::asio::post(endpoint->server.get_io_service(), [endpoint] {
        websocketpp::lib::error_code ignored;
        endpoint->server.stop_listening(ignored);
        if (endpoint->refreshTimer) endpoint->refreshTimer->cancel();
        endpoint->server.stop();
    });
}

void WsServer::sendText(std::string text) {
    std::string utf8 = ansiToUtf8(std::move(text));
    std::lock_guard<std::mutex> lock(mutex_);
    if (endpoint_ == nullptr || current_.expired()) return;
    if (std::this_thread::get_id() == serviceThread_) {
        sendOnServiceThread(utf8);
        return;
    }
    // Other threads hand the text to the service thread, which owns every connection; the
    // handle goes with it, so the text still goes to the page that was current now.
    const size_t size = utf8.size();
    postedBytes_ += size;
    boost::asio::post(endpoint_->server.get_io_service(),
                      [this, handle = current_, message = std::move(utf8), size] {
                          postedBytes_ -= size;
                          std::lock_guard<std::mutex> lock(mutex_);
                          if (endpoint_ == nullptr || handle.expired()) return;
                          websocketpp::lib::error_code ignored;
                          endpoint_->server.send(handle, message, websocketpp::frame::opcode::text, ignored);
                          refreshQueuedBytes();
                      });
}

void WsServer::sendOnServiceThread(const std::string& utf8) {
    // A refused send (a connection that is closing) loses the message, nothing more.
    websocketpp::lib::error_code ignored;
    endpoint_->server.send(current_, utf8, websocketpp::frame::opcode::text, ignored);
    refreshQueuedBytes();
}

// Service thread, mutex held.
void WsServer::refreshQueuedBytes() {
    websocketpp::lib::error_code error;
    auto connection = endpoint_->server.get_con_from_hdl(current_, error);
    bufferedBytes_ = error ? 0 : connection->get_buffered_amount();
    if (bufferedBytes_ == 0 || refreshArmed_) return;
    refreshArmed_ = true;
    endpoint_->refreshTimer->expires_after(kQueueRefreshInterval);
    endpoint_->refreshTimer->async_wait([this](const boost::system::error_code& error) {
        std::lock_guard<std::mutex> lock(mutex_);
        refreshArmed_ = false;
        if (error || endpoint_ == nullptr) return;
        refreshQueuedBytes();
    });
}

void WsServer::setAllowedOrigins(std::vector<std::string> allowedOriginSettings) {
    std::lock_guard<std::mutex> lock(mutex_);
    allowedOriginSettings_ = std::move(allowedOriginSettings);
}

size_t WsServer::queuedBytes() const { return postedBytes_.load() + bufferedBytes_.load(); }

}  // namespace lenvaro
