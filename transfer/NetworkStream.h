// The byte stream over one TCP connection, with a start bounded by a timeout.
#pragma once
#include <asio/ip/tcp.hpp>
#include <asio/strand.hpp>
#include <chrono>
#include <memory>
#include <system_error>
#include <vector>

#include "transfer/ByteStream.h"

namespace velmo {

class NetworkStream : public ByteStream, public std::enable_shared_from_this<NetworkStream> {
public:
    using Endpoint = asio::ip::tcp::endpoint;

    // Wraps a connection a listener accepted; it is not started.
    static std::shared_ptr<NetworkStream> accepted(asio::ip::tcp::socket socket);
    static std::shared_ptr<NetworkStream> accepted(asio::ip::tcp::socket socket,
                                                   const asio::any_io_executor& executor);

    // A connection to the first of `endpoints` that answers, made by start(); every address
    // but the last may take at most its even share of the time left before moving on.
    static std::shared_ptr<NetworkStream> outgoing(std::vector<Endpoint> endpoints);
    static std::shared_ptr<NetworkStream> outgoing(std::vector<Endpoint> endpoints,
                                                   const asio::any_io_executor& executor);

    // Completes once the connection is ready. Fails with ShareError::unreachable when the
    // timeout passes first (the connection is then closed) or the network cannot reach the
    // peer, with ShareError::connectionClosed when close() comes first, and with the
    // platform's std::system_error for anything else (for example connection refused).
    asio::awaitable<void> start(std::chrono::milliseconds timeout);

    asio::any_io_executor executor() const override;
    // Reads and writes fail with ShareError::connectionClosed once the peer has gone (end of
    // stream, reset, broken pipe) or close() came first, else with the platform's error.
    asio::awaitable<Bytes> readExactly(std::size_t n) override;
    asio::awaitable<void> readExactlyInto(std::span<std::uint8_t> out) override;
    asio::awaitable<void> write(ByteView bytes) override;
    void close() override;
    void abort() override;
    // Of an accepted connection: the address it came from, read when it was accepted.
    std::string remoteAddress() const override { return remoteAddress_; }
    // Shuts our sending side, drops what the peer still sends until it closes or `grace`
    // passes, then closes: a peer still writing reads our last frames instead of a reset.
    asio::awaitable<void> closeAfter(std::chrono::steady_clock::duration grace) override;

    // How long data we sent may stay unacknowledged before the connection counts as lost
    // (our keep-alives make a silent link show within that). Set before start().
    void setUnacknowledgedLimit(std::chrono::milliseconds limit) { unacknowledgedLimit_ = limit; }
    static constexpr std::chrono::milliseconds defaultUnacknowledgedLimit{60000};

    // Whether a connect failure means the peer is out of the network's reach.
    static bool meansUnreachable(const std::error_code& error);

    // Ends the connection as close() does, so a stream dropped without close() still lets the
    // peer read our last frame.
    ~NetworkStream() override;

    NetworkStream(const NetworkStream&) = delete;
    NetworkStream& operator=(const NetworkStream&) = delete;

private:
    NetworkStream(const asio::any_io_executor& executor, std::vector<Endpoint> endpoints,
                  bool outgoing);

    // Runs `op` on the strand, inline when the caller already runs there.
    template <class T, class Op>
    asio::awaitable<T> onStrand(Op op);

    asio::awaitable<void> startHere(std::chrono::milliseconds timeout);
    void configureSocket();
    // Tries each endpoint in turn until one connects or `until` passes.
    asio::awaitable<std::error_code> connectInOrder(std::chrono::steady_clock::time_point until);
    asio::awaitable<Bytes> readHere(std::size_t n);
    asio::awaitable<void> readIntoHere(std::span<std::uint8_t> out);
    asio::awaitable<void> writeHere(ByteView bytes);
    // Both directions: the socket tried directly, the reactor only when it would block.
    template <class Buffer, class Direct, class Waiting>
    asio::awaitable<void> moveHere(Buffer all, Direct direct, Waiting waiting);
    [[noreturn]] void throwFailure(const std::error_code& ec);
    // Lets other work on the strand run after every yieldEvery bytes moved without waiting.
    asio::awaitable<void> shareTheStrand(std::size_t moved);
    static constexpr std::size_t yieldEvery = std::size_t{4} << 20;
    void closeHere();
    asio::awaitable<void> closeAfterHere(std::chrono::steady_clock::duration grace);
    // Stops our side of the socket and hands it over to drain(); null when none is open.
    std::shared_ptr<asio::ip::tcp::socket> shutDownHere();
    void limitUnacknowledged();
    static asio::awaitable<void> drain(std::shared_ptr<asio::ip::tcp::socket> socket,
                                       std::chrono::steady_clock::duration limit, std::size_t maxBytes);

    asio::strand<asio::any_io_executor> strand_;
    asio::ip::tcp::socket socket_;
    const std::vector<Endpoint> endpoints_;  // empty for an accepted connection
    const bool outgoing_;
    std::string remoteAddress_;  // set before the stream is handed on, never after
    std::chrono::milliseconds unacknowledgedLimit_ = defaultUnacknowledgedLimit;
    // Touched on the strand only.
    bool connected_ = false;
    bool closed_ = false;
    bool silent_ = false;  // the kernel gave up on data the peer never acknowledged
    std::size_t unyielded_ = 0;  // bytes moved since the strand last ran other work
};

}  // namespace velmo
