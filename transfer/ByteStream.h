// The transport the Quick Share flows read frames from and write frames to.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <span>
#include <string>

#include "platform/Bytes.h"

namespace velmo {

class ByteStream {
public:
    virtual ~ByteStream() = default;

    // The strand this stream's socket lives on. One transfer runs on one strand: its
    // connection awaits reads and writes from this executor.
    virtual asio::any_io_executor executor() const = 0;

    // Completes with exactly n bytes; fails with ShareError::connectionClosed when the
    // stream ends first, or with the platform's error.
    virtual asio::awaitable<Bytes> readExactly(std::size_t n) = 0;

    // The same into the caller's memory, which must stay valid until the awaitable
    // completes: a reader of large frames can then keep one buffer. Streams that can read
    // in place override this.
    virtual asio::awaitable<void> readExactlyInto(std::span<std::uint8_t> out) {
        const Bytes bytes = co_await readExactly(out.size());
        std::copy(bytes.begin(), bytes.end(), out.begin());
    }

    // Completes once the whole of `bytes` has been handed to the network stack.
    // `bytes` must stay valid until the returned awaitable completes.
    virtual asio::awaitable<void> write(ByteView bytes) = 0;

    // Ends the stream from any thread, any number of times; never fails.
    virtual void close() = 0;

    // Like close(), but gives the peer no time to read what we sent: for a connection we owe
    // nothing, its descriptor goes at once.
    virtual void abort() { close(); }

    // The peer's address as text ("192.168.1.20", "::ffff:192.168.1.20"), empty when the
    // stream has no such peer or it is not known.
    virtual std::string remoteAddress() const { return {}; }

    // Ends the stream after giving the peer up to `grace` to read what we sent and stop
    // sending; streams without such a peer just close.
    virtual asio::awaitable<void> closeAfter(std::chrono::steady_clock::duration grace) {
        (void)grace;
        close();
        co_return;
    }
};

}  // namespace velmo
