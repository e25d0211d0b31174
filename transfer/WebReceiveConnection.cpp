#include "transfer/WebReceiveConnection.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "transfer/HttpResponse.h"

namespace velmo {

using asio::experimental::as_tuple;
using asio::use_awaitable;

WebReceiveConnection::WebReceiveConnection(asio::ip::tcp::socket socket,
                                           const WebReceiveServer::Timeouts& timeouts)
    : socket_(std::move(socket)),
      timeouts_(timeouts),
      idleTimer_(socket_.get_executor()),
      deadlineTimer_(socket_.get_executor()),
      buffer_(maxRead) {}

asio::awaitable<std::optional<ByteView>> WebReceiveConnection::receive() {
    if (!socket_.is_open() || interrupted_) co_return std::nullopt;
    const auto generation = ++readGeneration_;
    reading_ = true;
    idleTimer_.expires_after(timeouts_.idle);
    idleTimer_.async_wait([self = shared_from_this(), generation](const std::error_code& error) {
        // A timer that fired just as its read completed must not end the next one.
        if (!error && self->reading_ && self->readGeneration_ == generation) self->close();
    });
    auto [error, n] = co_await socket_.async_read_some(asio::buffer(buffer_), as_tuple(use_awaitable));
    reading_ = false;
    idleTimer_.cancel();
    if (n > 0) co_return ByteView(buffer_.data(), n);
    if (!error) co_return ByteView();
    co_return std::nullopt;
}

asio::awaitable<std::optional<HttpRequest>> WebReceiveConnection::readRequestHead() {
    // The idle timer limits each read; this deadline limits the whole head, so a client that
    // trickles bytes cannot hold a connection slot for long without the token.
    deadlineArmed_ = true;
    deadlineTimer_.expires_after(timeouts_.head);
    deadlineTimer_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (!error && self->deadlineArmed_) self->close();
    });
    struct Disarm {
        WebReceiveConnection* connection;
        ~Disarm() {
            connection->deadlineArmed_ = false;
            connection->deadlineTimer_.cancel();
        }
    } disarm{this};

    Bytes head;
    std::size_t scanned = 0;
    for (;;) {
        const auto scan = HttpRequestHead::scan(head, scanned);
        if (scan.state == HttpRequestHead::Scan::State::complete) {
            co_return HttpRequestHead::parse(head, scan.end);
        }
        if (scan.state == HttpRequestHead::Scan::State::tooLarge) {
            headTooLarge_ = true;
            co_return std::nullopt;
        }
        scanned = head.size();
        const auto bytes = co_await receive();
        if (!bytes) co_return std::nullopt;
        head.insert(head.end(), bytes->begin(), bytes->end());
    }
}

asio::awaitable<void> WebReceiveConnection::send(ByteView bytes) {
    if (!socket_.is_open()) co_return;
    co_await asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()), as_tuple(use_awaitable));
}

asio::awaitable<void> WebReceiveConnection::respond(int status, std::string_view contentType, ByteView body) {
    const auto response = HttpResponse::format(status, contentType, body);
    co_await send(response);
    answered_ = true;
}

asio::awaitable<void> WebReceiveConnection::drain() {
    if (!socket_.is_open()) co_return;
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    deadlineArmed_ = true;
    deadlineTimer_.expires_after(timeouts_.drain);
    deadlineTimer_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (!error && self->deadlineArmed_) self->close();
    });
    for (;;) {
        auto [error, n] = co_await socket_.async_read_some(asio::buffer(buffer_), as_tuple(use_awaitable));
        if (error) break;
    }
    deadlineArmed_ = false;
    deadlineTimer_.cancel();
}

void WebReceiveConnection::cancel() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->close(); });
}

void WebReceiveConnection::interrupt() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        self->interrupted_ = true;
        // Only a body read is cut short: an answer being written must still go out.
        if (self->reading_) {
            std::error_code ignored;
            self->socket_.cancel(ignored);
        }
    });
}

void WebReceiveConnection::close() {
    if (!socket_.is_open()) return;
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    socket_.close(ignored);
}

}  // namespace velmo
