// A blocking WebSocket client for tests and benchmarks: connect, send, and wait for messages.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

namespace lenvaro::testing {

class WsTestClient {
public:
    using Client = websocketpp::client<websocketpp::config::asio_client>;

    WsTestClient() {
        client_.clear_access_channels(websocketpp::log::alevel::all);
        client_.clear_error_channels(websocketpp::log::elevel::all);
        client_.init_asio();
        client_.start_perpetual();
        client_.set_message_handler([this](websocketpp::connection_hdl, Client::message_ptr message) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(message->get_payload());
            changed_.notify_all();
        });
        client_.set_open_handler([this](websocketpp::connection_hdl) { setState(State::Open); });
        client_.set_fail_handler([this](websocketpp::connection_hdl) { setState(State::Failed); });
        client_.set_close_handler([this](websocketpp::connection_hdl) { setState(State::Closed); });
        thread_ = std::thread([this] { client_.run(); });
    }

    ~WsTestClient() {
        close();
        client_.stop_perpetual();
        client_.stop();
        thread_.join();
    }

    bool connect(uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        websocketpp::lib::error_code error;
        auto connection = client_.get_connection("ws://127.0.0.1:" + std::to_string(port) + "/", error);
        if (error) return false;
        handle_ = connection->get_handle();
        client_.connect(connection);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [this] { return state_ != State::Connecting; });
        return state_ == State::Open;
    }

    bool isOpen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_ == State::Open;
    }

    void send(const std::string& text,
              websocketpp::frame::opcode::value opcode = websocketpp::frame::opcode::text) {
        websocketpp::lib::error_code ignored;
        client_.send(handle_, text, opcode, ignored);
    }

    // The next message, or nothing within the timeout.
    std::optional<std::string> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [this] { return !messages_.empty(); })) return std::nullopt;
        std::string message = std::move(messages_.front());
        messages_.pop_front();
        return message;
    }

    // Sends and waits for the next message.
    std::optional<std::string> roundTrip(const std::string& text,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        send(text);
        return receive(timeout);
    }

    void close() {
        if (!isOpen()) return;
        // On the client's own thread: websocketpp reads the connection's state there without its
        // lock, so a close started from another thread races with the frame being read.
        client_.get_io_service().post([this] {
            websocketpp::lib::error_code ignored;
            client_.close(handle_, websocketpp::close::status::normal, "", ignored);
        });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [this] { return state_ != State::Open; });
    }

private:
    enum class State { Connecting, Open, Failed, Closed };
    void setState(State state) {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = state;
        changed_.notify_all();
    }

    Client client_;
    std::thread thread_;
    websocketpp::connection_hdl handle_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> messages_;
    State state_ = State::Connecting;
};

}  // namespace lenvaro::testing
