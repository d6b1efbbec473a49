// The WebSocket endpoint: one listening socket, the open connections, the command worker that
// runs their requests, and delivery of outgoing texts from any thread: a reply to the connection
// that asked, a push to the newest open connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/reply_route.h"

namespace lenvaro {

class CommandWorker;

class WsServer {
public:
    struct Handlers {
        // A received message, UTF-8 as the page sent it. Runs on the command worker,
        // one request at a time in arrival order, with the calling thread's reply route set to
        // the connection that sent it.
        std::function<void(std::string)> onRequest;
        // A connection opened or closed (I/O thread); the number now open.
        std::function<void(size_t openConnections)> onConnectionCount;
        // Called once, on the I/O thread, when the endpoint is listening.
        std::function<void(const std::string& address, uint16_t port)> onListening;
        // The service's state as JSON members for GET /status (I/O thread); none: name and
        // version alone.
        std::function<std::string()> statusMembers;
    };

    // Starts the command worker; requests reach it once run() listens.
    explicit WsServer(Handlers handlers);
    // Stops the command worker first: handlers may still be running on it.
    ~WsServer();
    WsServer(const WsServer&) = delete;
    WsServer& operator=(const WsServer&) = delete;

    // Listens on address:port (IPv4 only) and runs the I/O loop on the calling thread, which
    // becomes the service's I/O thread, until stop(). Returns false when the endpoint could not
    // start or failed while running; then the "exception: " line has gone to standard output
    // and the failure message to standard error.
    bool run(const std::string& address, uint16_t port);

    // Ends run(): stops listening, lets what was already handed over go out, closes every
    // connection (1001, going away) and ends the loop once they have closed, or after `grace`
    // for pages that do not answer. Any thread, any time.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(1000));

    // Ends the command worker: the command it is running finishes (its reply still goes out
    // while the endpoint runs), the requests waiting are dropped, later ones too. Waits for it.
    // Any thread but the worker's own; idempotent.
    void stopCommands();

    // Sends one text (internal code page) as a text frame, by the calling thread's reply route
    // (reply_route.h): to the connection that asked, or for a push to the newest open
    // connection. Dropped when there is none or when the connection refuses it. A reply that
    // would take its page past kMaxUnsentBytes waits until the page has taken enough; a page that
    // has taken nothing for kStalledAfter meanwhile is closed instead (see kMaxUnsentBytes). Any
    // thread.
    void sendText(std::string text);

    // Bytes handed to the push target (the newest open connection) that its page has not taken
    // yet, as last seen (refreshed while data waits). The preview push drops frames rather than
    // queue behind this.
    size_t queuedBytes() const;

    // Open connections (those closing for exceeding their cap included).
    size_t openConnections() const;

    // The largest message a peer may send: room for a Base64 image, the largest legitimate
    // request. A longer one closes that connection with 1009 (message too big).
    static constexpr size_t kMaxMessageBytes = 64 * 1024 * 1024;

    // The most a connection may hold that its page has not taken, besides the message it is
    // taking (the one being written to its socket). A reply beyond it waits for the page to take
    // what comes before (so a page that asks for more than it reads paces the commands, as a
    // busy service would); a push beyond it is sent all the same (pushes are small, and preview
    // frames are held back before). A page that has taken nothing for kStalledAfter while more
    // than this waits for it (judged by the bytes its TCP acknowledges where the system tells, else
    // by whole messages) is closed with 1008 (policy violation), and what it held is freed;
    // a message sent while nothing waits goes out whatever its size.
    static constexpr size_t kMaxUnsentBytes = 32 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kStalledAfter{3000};

    // While this many requests (or this many bytes of them) of one connection wait for the
    // command worker, the service stops reading from that connection, as a busy service thread
    // used to: TCP then holds the page back instead of the service's memory.
    static constexpr size_t kMaxWaitingRequests = 64;
    static constexpr size_t kMaxWaitingRequestBytes = kMaxMessageBytes;
    // The same for all connections together: while this many requests (or bytes) of all pages
    // wait, every page that sends one more is no longer read, until half of them are worked off.
    static constexpr size_t kMaxWaitingRequestsAll = 16 * kMaxWaitingRequests;
    static constexpr size_t kMaxWaitingRequestBytesAll = 2 * kMaxMessageBytes;

    // The allowedOrigin settings as written in the configuration (see handshake_policy.h); none
    // lets every origin in. Read when run() starts.
    void setAllowedOrigins(std::vector<std::string> allowedOriginSettings);

private:
    struct Endpoint;
    struct Connection;

    std::shared_ptr<Connection> targetLocked(const ReplyRoute& route) const;
    std::shared_ptr<Connection> newestOpenLocked() const;
    void deliverLocked(const std::shared_ptr<Connection>& connection, const std::string& utf8);
    void closeOverLimitLocked(const std::shared_ptr<Connection>& connection);
    void armQueueRefreshLocked();
    void refreshQueuedBytesLocked();
    void received(const std::shared_ptr<Connection>& connection, std::string payload);
    void reviewPausedReadingLocked();
    void runRequest(ConnectionId from, std::string& text, const std::shared_ptr<Connection>& connection);
    void opened(const std::weak_ptr<void>& handle);
    void closed(ConnectionId id);

    Handlers handlers_;
    mutable std::mutex mutex_;  // guards everything below but the atomics
    Endpoint* endpoint_ = nullptr;
    std::map<ConnectionId, std::shared_ptr<Connection>> connections_;  // opening order
    ConnectionId lastConnectionId_ = 0;
    std::thread::id serviceThread_;
    bool stopRequested_ = false;
    bool commandsStopping_ = false;
    bool refreshArmed_ = false;
    // Replies waiting for their page to take what comes before them.
    std::condition_variable taken_;
    // Requests of all connections waiting for the command worker.
    std::atomic<size_t> waitingRequestsAll_{0};
    std::atomic<size_t> waitingBytesAll_{0};
    // Set while all connections together are over their bound (I/O thread writes).
    std::atomic<bool> overAllBound_{false};
    std::atomic<bool> reviewPosted_{false};
    std::vector<std::string> allowedOriginSettings_;
    std::unique_ptr<CommandWorker> worker_;
};

}  // namespace lenvaro
