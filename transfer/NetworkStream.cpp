#include "transfer/NetworkStream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <array>
#include <limits>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "platform/PosixError.h"
#include "platform/Runtime.h"
#include "transfer/ShareError.h"

namespace velmo {

namespace {

// After a close, how long and how much the socket keeps reading and dropping what the peer
// still sends, so that our last frames reach it (see drain()).
constexpr auto lingerTime = std::chrono::seconds(10);
constexpr std::size_t maxDiscardedOnClose = 16 << 20;

}  // namespace

NetworkStream::NetworkStream(const asio::any_io_executor& executor, std::vector<Endpoint> endpoints,
                             bool outgoing)
    : strand_(asio::make_strand(executor)),
      socket_(strand_),
      endpoints_(std::move(endpoints)),
      outgoing_(outgoing) {}

// Nothing else can touch the socket now: every pending operation holds a reference.
NetworkStream::~NetworkStream() { closeHere(); }

std::shared_ptr<NetworkStream> NetworkStream::accepted(asio::ip::tcp::socket socket) {
    return accepted(std::move(socket), Runtime::shared().executor());
}

std::shared_ptr<NetworkStream> NetworkStream::accepted(asio::ip::tcp::socket socket,
                                                       const asio::any_io_executor& executor) {
    std::shared_ptr<NetworkStream> stream(new NetworkStream(executor, {}, false));
    if (socket.is_open()) {
        // Move the descriptor onto the stream's strand, so every operation on it runs there.
        std::error_code ec;
        auto local = socket.local_endpoint(ec);
        auto protocol = ec ? asio::ip::tcp::v4() : local.protocol();
        const auto remote = socket.remote_endpoint(ec);
        if (!ec) stream->remoteAddress_ = remote.address().to_string();
        stream->socket_.assign(protocol, socket.release());
        stream->configureSocket();
    }
    return stream;
}

std::shared_ptr<NetworkStream> NetworkStream::outgoing(std::vector<Endpoint> endpoints) {
    return outgoing(std::move(endpoints), Runtime::shared().executor());
}

std::shared_ptr<NetworkStream> NetworkStream::outgoing(std::vector<Endpoint> endpoints,
                                                       const asio::any_io_executor& executor) {
    return std::shared_ptr<NetworkStream>(new NetworkStream(executor, std::move(endpoints), true));
}

asio::any_io_executor NetworkStream::executor() const { return strand_; }

template <class T, class Op>
asio::awaitable<T> NetworkStream::onStrand(Op op) {
    auto self = shared_from_this();
    if ((co_await asio::this_coro::executor) == executor()) {
        co_return co_await op(self);
    }
    // Named, not a temporary: g++ 12 may destroy a temporary inside co_await twice.
    auto onItsStrand = [self, op] { return op(self); };
    co_return co_await asio::co_spawn(strand_, std::move(onItsStrand), asio::use_awaitable);
}

asio::awaitable<void> NetworkStream::start(std::chrono::milliseconds timeout) {
    return onStrand<void>([timeout](const auto& self) { return self->startHere(timeout); });
}

asio::awaitable<Bytes> NetworkStream::readExactly(std::size_t n) {
    return onStrand<Bytes>([n](const auto& self) { return self->readHere(n); });
}

asio::awaitable<void> NetworkStream::readExactlyInto(std::span<std::uint8_t> out) {
    return onStrand<void>([out](const auto& self) { return self->readIntoHere(out); });
}

asio::awaitable<void> NetworkStream::write(ByteView bytes) {
    return onStrand<void>([bytes](const auto& self) { return self->writeHere(bytes); });
}

void NetworkStream::close() {
    asio::post(strand_, [self = shared_from_this()] { self->closeHere(); });
}

void NetworkStream::abort() {
    asio::post(strand_, [self = shared_from_this()] {
        self->closed_ = true;
        std::error_code ignored;
        self->socket_.close(ignored);  // pending reads and writes end with operation_aborted
    });
}

asio::awaitable<void> NetworkStream::closeAfter(std::chrono::steady_clock::duration grace) {
    return onStrand<void>([grace](const auto& self) { return self->closeAfterHere(grace); });
}

asio::awaitable<void> NetworkStream::closeAfterHere(std::chrono::steady_clock::duration grace) {
    // Only time bounds it: a peer that keeps sending for the whole grace costs reading, not memory.
    if (auto socket = shutDownHere()) co_await drain(std::move(socket), grace, std::numeric_limits<std::size_t>::max());
}

bool NetworkStream::meansUnreachable(const std::error_code& error) {
    const auto code = posixCode(error);
    return code == std::errc::host_unreachable || code == std::errc::network_unreachable ||
           code == std::errc::network_down || code == std::errc::timed_out;
}

asio::awaitable<void> NetworkStream::startHere(std::chrono::milliseconds timeout) {
    if (closed_) throw ShareError::connectionClosed();
    if (connected_) co_return;
    if (!outgoing_) {
        if (!socket_.is_open()) throw ShareError::connectionClosed();
        limitUnacknowledged();
        connected_ = true;
        co_return;
    }

    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer deadline(strand_, timeout);
    // Exactly one outcome: the first branch to finish wins and the other is cancelled.
    auto first = co_await (connectInOrder(std::chrono::steady_clock::now() + timeout) ||
                           deadline.async_wait(asio::use_awaitable));
    if (closed_) throw ShareError::connectionClosed();
    if (first.index() == 1) {
        std::error_code ignored;
        socket_.close(ignored);
        throw ShareError::unreachable();
    }
    const std::error_code ec = std::get<0>(first);
    if (!ec) {
        configureSocket();
        limitUnacknowledged();
        connected_ = true;
        co_return;
    }
    if (meansUnreachable(ec)) throw ShareError::unreachable();
    throw std::system_error(ec);
}

void NetworkStream::configureSocket() {
    // Every frame goes out in one write; Nagle's algorithm would hold a second small frame
    // until the peer's delayed acknowledgement (about 40 ms per handshake step).
    std::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    // Reads and writes first try the socket directly and go to the reactor only when it would
    // block: a round through the reactor for every chunk hands the work between threads and
    // costs a good part of the loopback throughput.
    socket_.non_blocking(true, ignored);
}

void NetworkStream::limitUnacknowledged() {
    // A peer that left the network answers nothing, and a read would wait for it forever: our
    // keep-alives stay unacknowledged, and after the limit the kernel ends the connection. A slow
    // peer that still takes data is never cut off; one that keeps its window closed for the
    // limit is (Linux 5.11 and later count a closed window as unacknowledged time).
    if (unacknowledgedLimit_ <= std::chrono::milliseconds::zero()) return;
    const auto limit = static_cast<unsigned>(
        std::min<std::chrono::milliseconds::rep>(unacknowledgedLimit_.count(), std::numeric_limits<unsigned>::max()));
    (void)::setsockopt(socket_.native_handle(), IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit);
}

asio::awaitable<std::error_code> NetworkStream::connectInOrder(std::chrono::steady_clock::time_point until) {
    using namespace asio::experimental::awaitable_operators;
    // No address to try: the peer cannot be reached.
    std::error_code ec = std::make_error_code(std::errc::host_unreachable);
    for (std::size_t i = 0; i < endpoints_.size(); ++i) {
        if (closed_) co_return asio::error::operation_aborted;
        socket_.close(ec);  // the failed attempt's socket, if any; async_connect opens anew
        ec = {};
        auto attempt = socket_.async_connect(endpoints_[i], asio::redirect_error(asio::use_awaitable, ec));
        const std::size_t left = endpoints_.size() - i;
        if (left == 1) {
            co_await std::move(attempt);
        } else {
            // An address that never answers must not use up the time of the others: each gets
            // an even share of what is left.
            asio::steady_timer share(strand_, (until - std::chrono::steady_clock::now()) / left);
            const auto outcome = co_await (std::move(attempt) || share.async_wait(asio::use_awaitable));
            if (outcome.index() == 1) ec = std::make_error_code(std::errc::timed_out);
        }
        if (!ec || closed_) co_return ec;
    }
    co_return ec;
}

asio::awaitable<Bytes> NetworkStream::readHere(std::size_t n) {
    Bytes bytes(n);
    co_await readIntoHere(bytes);
    co_return bytes;
}

template <class Buffer, class Direct, class Waiting>
asio::awaitable<void> NetworkStream::moveHere(Buffer all, Direct direct, Waiting waiting) {
    for (std::size_t done = 0; done < all.size();) {
        // After close() or a failed start the socket holds no descriptor.
        if (closed_ || !socket_.is_open()) throw ShareError::connectionClosed();
        const Buffer rest = all + done;
        std::error_code ec = asio::error::would_block;
        std::size_t n = 0;
        // Never a blocking call on the strand: only a socket in non-blocking mode is tried directly.
        if (socket_.non_blocking()) n = direct(rest, ec);
        if (ec == asio::error::would_block) {
            ec = {};
            n = co_await waiting(rest, asio::redirect_error(asio::use_awaitable, ec));
            unyielded_ = 0;
        } else if (!ec) {
            co_await shareTheStrand(n);
        }
        done += n;
        if (ec) throwFailure(ec);
    }
}

asio::awaitable<void> NetworkStream::readIntoHere(std::span<std::uint8_t> out) {
    co_await moveHere(
        asio::buffer(out.data(), out.size()),
        [this](asio::mutable_buffer rest, std::error_code& ec) { return socket_.read_some(rest, ec); },
        [this](asio::mutable_buffer rest, auto token) { return socket_.async_read_some(rest, token); });
}

asio::awaitable<void> NetworkStream::writeHere(ByteView bytes) {
    co_await moveHere(
        asio::buffer(bytes.data(), bytes.size()),
        [this](asio::const_buffer rest, std::error_code& ec) { return socket_.write_some(rest, ec); },
        [this](asio::const_buffer rest, auto token) { return socket_.async_write_some(rest, token); });
}

void NetworkStream::throwFailure(const std::error_code& ec) {
    // A peer that went away, however the socket says so, and a socket closed here under a
    // pending operation are one thing to the user: the connection is gone. The kernel giving up
    // on unacknowledged data is the peer gone silent, which the user is told as such. It reports
    // that with the last error a retransmission met (unreachable once the phone left the
    // network and its address no longer answers), and to one operation only: the other
    // direction then reads a plain end, which is the same silence.
    const auto code = posixCode(ec);
    if (!closed_ && meansUnreachable(ec)) silent_ = true;
    if (!closed_ && silent_) throw ShareError::connectionTimedOut();
    if (closed_ || ec == asio::error::eof || code == std::errc::connection_reset || code == std::errc::broken_pipe ||
        code == std::errc::connection_aborted) {
        throw ShareError::connectionClosed();
    }
    throw std::system_error(ec);
}

asio::awaitable<void> NetworkStream::shareTheStrand(std::size_t moved) {
    // A peer that keeps the socket ready would otherwise hold the strand for a whole transfer:
    // a cancel, a close or a timer posted to it would wait until the data stopped.
    unyielded_ += moved;
    if (unyielded_ < yieldEvery) co_return;
    unyielded_ = 0;
    co_await asio::post(strand_, asio::use_awaitable);
}

void NetworkStream::closeHere() {
    if (auto socket = shutDownHere()) {
        asio::co_spawn(socket->get_executor(), drain(socket, lingerTime, maxDiscardedOnClose), asio::detached);
    }
}

std::shared_ptr<asio::ip::tcp::socket> NetworkStream::shutDownHere() {
    if (closed_) return nullptr;
    closed_ = true;
    if (!socket_.is_open()) return nullptr;
    std::error_code ignored;
    // Tell the peer we send no more, after everything already written.
    socket_.shutdown(asio::socket_base::shutdown_send, ignored);
    // Pending reads and writes end with operation_aborted.
    socket_.cancel(ignored);
    return std::make_shared<asio::ip::tcp::socket>(std::move(socket_));
}

asio::awaitable<void> NetworkStream::drain(std::shared_ptr<asio::ip::tcp::socket> socket,
                                           std::chrono::steady_clock::duration limit, std::size_t maxBytes) {
    // Data reaching a closed socket makes the kernel reset the connection, and a reset throws
    // away whatever of our last frames the peer has not read yet (a late keep-alive is enough).
    // So the socket stays open a while, dropping what the peer still sends, until the peer
    // closes its side; a silent or endless peer is cut off by the time and byte limits.
    asio::steady_timer deadline(socket->get_executor(), limit);
    deadline.async_wait([socket](const std::error_code& ec) {
        std::error_code ignored;
        if (!ec) socket->close(ignored);
    });
    std::array<std::uint8_t, 16 * 1024> sink;
    for (std::size_t discarded = 0; discarded < maxBytes;) {
        std::error_code ec;
        discarded += co_await socket->async_read_some(asio::buffer(sink), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) break;
    }
    deadline.cancel();
    std::error_code ignored;
    socket->close(ignored);
}

}  // namespace velmo
