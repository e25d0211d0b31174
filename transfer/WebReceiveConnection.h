// One client connection of the web receive server: bounded reads under the idle timer, the
// request head under its overall deadline, one response, and the drain after an early answer.
// Everything but cancel() runs on the connection's own strand.
#pragma once
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/Bytes.h"
#include "transfer/HttpRequestHead.h"
#include "transfer/WebReceiveServer.h"

namespace velmo {

class WebReceiveConnection : public std::enable_shared_from_this<WebReceiveConnection> {
public:
    // Largest single read.
    static constexpr std::size_t maxRead = 262'144;

    // `socket` must run on a strand of its own.
    WebReceiveConnection(asio::ip::tcp::socket socket, const WebReceiveServer::Timeouts& timeouts);

    asio::any_io_executor executor() { return socket_.get_executor(); }

    // Up to maxRead bytes: non-empty when bytes came, empty when nothing came but the input
    // goes on, nothing when it ended, failed, was cancelled or stayed silent past the idle
    // timeout. The view stays valid until the next call.
    asio::awaitable<std::optional<ByteView>> receive();

    // The request head, or nothing when no acceptable head arrived within the limits.
    asio::awaitable<std::optional<HttpRequest>> readRequestHead();
    // Whether the head read last went past the size limit.
    bool headTooLarge() const { return headTooLarge_; }

    // Writes `bytes` whole; a failed send is ignored (the peer has gone).
    asio::awaitable<void> send(ByteView bytes);

    asio::awaitable<void> respond(int status, std::string_view contentType, ByteView body);

    // The answer has been written: the connection is only closing now. Any thread.
    bool answered() const { return answered_; }

    // After an answer sent before the body was read: ends our side, then reads and drops
    // what the client still sends until it closes or the drain time runs out, so the client
    // reads the answer instead of a reset.
    asio::awaitable<void> drain();

    // Ends the connection from any thread; pending and later reads yield nothing.
    void cancel();

    // From any thread: the pending and later receive() calls yield nothing, but the
    // connection stays open, so the upload can still answer before it closes.
    void interrupt();

    // Shuts down the sending side and closes; on the strand.
    void close();

private:
    asio::ip::tcp::socket socket_;
    WebReceiveServer::Timeouts timeouts_;
    asio::steady_timer idleTimer_;
    asio::steady_timer deadlineTimer_;
    Bytes buffer_;
    std::uint64_t readGeneration_ = 0;
    bool reading_ = false;
    bool interrupted_ = false;
    bool deadlineArmed_ = false;
    bool headTooLarge_ = false;
    std::atomic<bool> answered_{false};
};

}  // namespace velmo
