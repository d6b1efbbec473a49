// The WebSocket endpoint: one listening socket, the current connection rule, and delivery of
// outgoing texts from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lenvaro {

class WsServer {
public:
    struct Handlers {
        // A received message, already converted to the internal code page.
        std::function<void(std::string)> onRequest;
        // A connection opened / any connection closed (service thread).
        std::function<void()> onOpen;
        std::function<void()> onClose;
        // Called once, on the service thread, when the endpoint is listening.
        std::function<void(const std::string& address, uint16_t port)> onListening;
    };

    explicit WsServer(Handlers handlers);
    ~WsServer();
    WsServer(const WsServer&) = delete;
    WsServer& operator=(const WsServer&) = delete;

    // Listens on address:port (IPv4 only) and runs the I/O loop on the calling thread, which
    // becomes the service thread, until stop(). Returns false when the endpoint could not
    // start or failed while running; then the "exception: " line has gone to standard output
    // and the failure message to standard error.
    bool run(const std::string& address, uint16_t port);

    // Ends run(): stops listening and closes every connection. Any thread, any time.
    void stop();

    // Sends one text (internal code page) as a text frame on the current connection, or drops
    // it when there is none or the connection refuses it. Any thread.
    void sendText(std::string text);

    // Bytes handed to the current connection that the peer has not taken yet, as last seen
    // (refreshed while data waits). The preview push drops frames rather than queue behind this.
    size_t queuedBytes() const;

    // The largest message a peer may send: room for a Base64 image, the largest legitimate
    // request. A longer one closes that connection with 1009 (message too big).
    static constexpr size_t kMaxMessageBytes = 64 * 1024 * 1024;

    // The allowedOrigin settings as written in the configuration (see handshake_policy.h); none
    // lets every origin in. Read when run() starts.
    void setAllowedOrigins(std::vector<std::string> allowedOriginSettings);

private:
    struct Endpoint;
    void sendOnServiceThread(const std::string& utf8);
    void refreshQueuedBytes();

    Handlers handlers_;
    mutable std::mutex mutex_;  // guards endpoint_ and current_
    Endpoint* endpoint_ = nullptr;
    std::weak_ptr<void> current_;
    std::thread::id serviceThread_;
    bool stopRequested_ = false;
    std::atomic<size_t> postedBytes_{0};
    std::atomic<size_t> bufferedBytes_{0};
    bool refreshArmed_ = false;  // service thread only
    std::vector<std::string> allowedOriginSettings_;  // guarded by mutex_
};

}  // namespace lenvaro
