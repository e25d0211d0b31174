// NetworkStream over real loopback connections (127.0.0.1 only).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <future>
#include <numeric>
#include <thread>

#include "platform/Runtime.h"
#include "support/AsyncTest.h"
#include "transfer/NetworkStream.h"
#include "transfer/ShareError.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

const tcp::endpoint anyLoopbackPort{asio::ip::address_v4::loopback(), 0};

using test::await;

// Waits for work that borrows the test's memory: a hang must not return while it still runs.
template <class T>
void waitOrAbort(std::future<T>& future) {
    if (future.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "operation never completed";
        std::abort();
    }
}

ShareError::Kind shareErrorOf(const std::function<void()>& op) {
    try {
        op();
    } catch (const ShareError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no ShareError";
    return ShareError::Kind::protocolViolation;
}

// Asio's system category does not compare equal to std::errc, so compare the POSIX value.
bool isPosix(const std::error_code& error, std::errc code) {
    return (error.category() == asio::error::get_system_category() ||
            error.category() == std::system_category()) &&
           static_cast<std::errc>(error.value()) == code;
}

Bytes pattern(std::size_t n, std::uint8_t seed = 0) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

class NetworkStreamIntegration : public ::testing::Test {
protected:
    tcp::acceptor listen(int backlog = asio::socket_base::max_listen_connections) {
        tcp::acceptor acceptor(io);
        acceptor.open(tcp::v4());
        acceptor.bind(anyLoopbackPort);
        acceptor.listen(backlog);
        return acceptor;
    }

    // A started stream around an accepted connection, and the plain socket at the other end.
    std::pair<std::shared_ptr<NetworkStream>, tcp::socket> acceptedPair() {
        auto acceptor = listen();
        tcp::socket peer(io);
        peer.connect(acceptor.local_endpoint());
        auto stream = NetworkStream::accepted(acceptor.accept(), runtime.executor());
        await(runtime.executor(), stream->start(1s));
        return {stream, std::move(peer)};
    }

    Bytes read(const std::shared_ptr<NetworkStream>& stream, std::size_t n) {
        return await(runtime.executor(), stream->readExactly(n));
    }

    Runtime runtime{2};
    asio::io_context io;  // never run: the peer's sockets are used blocking
};

TEST_F(NetworkStreamIntegration, ReadsExactLengthsAcrossSplitWrites) {
    auto [stream, peer] = acceptedPair();
    peer.set_option(tcp::no_delay(true));
    const std::vector<std::size_t> reads = {4, 1, 65536, 3, 300000, 2, 5 * 1024 * 1024};
    const std::vector<std::size_t> writes = {1, 2, 7, 4096, 1, 99999, 3};
    const Bytes all = pattern(std::accumulate(reads.begin(), reads.end(), std::size_t{0}), 7);

    std::thread writer([&, &peer = peer] {
        std::size_t offset = 0;
        for (std::size_t i = 0; offset < all.size(); ++i) {
            const std::size_t n = std::min(writes[i % writes.size()], all.size() - offset);
            asio::write(peer, asio::buffer(all.data() + offset, n));
            offset += n;
        }
    });
    std::size_t offset = 0;
    for (std::size_t n : reads) {
        const Bytes got = read(stream, n);
        ASSERT_EQ(got.size(), n);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin() + offset)) << "read of " << n;
        offset += n;
    }
    writer.join();
    stream->close();
}

TEST_F(NetworkStreamIntegration, EndOfStreamAndShortReadsAreConnectionClosed) {
    struct Case {
        const char* name;
        std::size_t sent;
        std::size_t firstRead;   // must succeed (0: none)
        std::size_t secondRead;  // must fail
    };
    const Case cases[] = {
        {"nothing sent", 0, 0, 4},
        {"two of four bytes", 2, 0, 4},
        {"one byte short of a large read", 70000 - 1, 0, 70000},
        {"read past a complete frame", 4, 4, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto [stream, peer] = acceptedPair();
        if (c.sent > 0) asio::write(peer, asio::buffer(pattern(c.sent)));
        peer.shutdown(tcp::socket::shutdown_send);
        if (c.firstRead > 0) {
            EXPECT_EQ(read(stream, c.firstRead), pattern(c.firstRead));
        }
        EXPECT_EQ(shareErrorOf([&, &stream = stream] { read(stream, c.secondRead); }),
                  ShareError::Kind::connectionClosed);
        stream->close();
    }
}

// A peer that went away is one thing to the user however the socket reports it: a reset
// on a read, a reset or a broken pipe on a write.
TEST_F(NetworkStreamIntegration, PeerResetIsTheClosedConnection) {
    auto [stream, peer] = acceptedPair();
    peer.set_option(asio::socket_base::linger(true, 0));  // close with a reset
    peer.close();
    EXPECT_EQ(shareErrorOf([&, &stream = stream] { read(stream, 4); }), ShareError::Kind::connectionClosed);
    const Bytes frame = pattern(64 * 1024);
    EXPECT_EQ(shareErrorOf([&, &stream = stream] { await(runtime.executor(), stream->write(frame)); }),
              ShareError::Kind::connectionClosed);
}

TEST_F(NetworkStreamIntegration, CloseFromAnotherThreadEndsABlockedRead) {
    auto [stream, peer] = acceptedPair();
    auto pending = asio::co_spawn(runtime.executor(), stream->readExactly(4), asio::use_future);
    std::this_thread::sleep_for(20ms);  // lets the read block; the outcome is the same either way
    std::vector<std::thread> closers;
    for (int i = 0; i < 4; ++i) closers.emplace_back([&, &stream = stream] { stream->close(); stream->close(); });
    for (auto& t : closers) t.join();
    ASSERT_EQ(pending.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(shareErrorOf([&] { pending.get(); }), ShareError::Kind::connectionClosed);
    // The peer sees the end of the stream, not a reset.
    std::array<char, 1> byte;
    asio::error_code ec;
    peer.read_some(asio::buffer(byte), ec);
    EXPECT_EQ(ec, asio::error::eof);
    // Later operations fail the same way, never on the descriptor the socket no longer has.
    EXPECT_EQ(shareErrorOf([&, &stream = stream] { read(stream, 1); }), ShareError::Kind::connectionClosed);
    const Bytes frame = pattern(8);
    EXPECT_EQ(shareErrorOf([&, &stream = stream] { await(runtime.executor(), stream->write(frame)); }),
              ShareError::Kind::connectionClosed);
}

TEST_F(NetworkStreamIntegration, CloseFromAnotherThreadEndsABlockedWrite) {
    auto [stream, peer] = acceptedPair();
    // Far more than the socket buffers hold while the peer reads nothing.
    const Bytes frame = pattern(64 * 1024 * 1024, 5);
    auto pending = asio::co_spawn(runtime.executor(), stream->write(frame), asio::use_future);
    std::this_thread::sleep_for(20ms);
    std::thread([&, &stream = stream] { stream->close(); }).join();
    waitOrAbort(pending);
    EXPECT_EQ(shareErrorOf([&] { pending.get(); }), ShareError::Kind::connectionClosed);
    // The peer gets a prefix of the frame, then the end of the stream.
    Bytes got(frame.size());
    asio::error_code ec;
    const std::size_t n = asio::read(peer, asio::buffer(got), ec);
    EXPECT_EQ(ec, asio::error::eof);
    EXPECT_LT(n, frame.size());
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(n), frame.begin()));
}

TEST_F(NetworkStreamIntegration, BothDirectionsAtOnceOnEachStreamsStrand) {
    // Each side writes and reads at the same time on its one strand, as a connection does: a
    // write that fills the socket buffers must let the strand's read go on, or both sides stall.
    auto acceptor = listen();
    auto client = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
    auto started = asio::co_spawn(client->executor(), client->start(5s), asio::use_future);
    auto server = NetworkStream::accepted(acceptor.accept(), runtime.executor());
    started.get();
    await(server->executor(), server->start(1s));

    const std::vector<std::size_t> frames = {4, 3 * 1024 * 1024 + 1, 1, 65536, 8 * 1024 * 1024, 7};
    const std::size_t total = std::accumulate(frames.begin(), frames.end(), std::size_t{0});
    struct Side {
        std::shared_ptr<NetworkStream> stream;
        Bytes sent;
        Bytes received;
    };
    Side sides[] = {{client, pattern(total, 11), Bytes(total)}, {server, pattern(total, 97), Bytes(total)}};

    std::vector<std::future<void>> done;
    for (auto& side : sides) {
        done.push_back(asio::co_spawn(
            side.stream->executor(),
            [&]() -> asio::awaitable<void> {
                std::size_t offset = 0;
                for (auto n : frames) {
                    co_await side.stream->write(ByteView(side.sent).subspan(offset, n));
                    offset += n;
                }
            },
            asio::use_future));
        done.push_back(asio::co_spawn(
            side.stream->executor(),
            [&]() -> asio::awaitable<void> {
                std::size_t offset = 0;
                for (auto n : frames) {
                    const auto into = std::span<std::uint8_t>(side.received).subspan(offset, n);
                    co_await side.stream->readExactlyInto(into);
                    offset += n;
                }
            },
            asio::use_future));
    }
    for (auto& f : done) waitOrAbort(f);
    for (auto& f : done) EXPECT_NO_THROW(f.get());
    EXPECT_TRUE(sides[0].received == sides[1].sent);
    EXPECT_TRUE(sides[1].received == sides[0].sent);
    client->close();
    server->close();
}

TEST_F(NetworkStreamIntegration, PeerReadsTheLastFrameWrittenBeforeTheEnd) {
    // The peer's small receive window keeps most of our frame in our own send queue when the
    // stream ends, and bytes the peer sent us are still unread, or arrive after the end (a
    // late keep-alive): a reset would lose the frame.
    struct Case {
        bool dropWithoutClose;
        bool peerWritesAfterTheEnd;
    };
    for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
        SCOPED_TRACE(std::string(c.dropWithoutClose ? "dropped" : "closed") +
                     (c.peerWritesAfterTheEnd ? ", peer writes after the end" : ""));
        auto acceptor = listen();
        tcp::socket peer(io);
        peer.open(tcp::v4());
        peer.set_option(asio::socket_base::receive_buffer_size(4096));
        peer.connect(acceptor.local_endpoint());
        auto stream = NetworkStream::accepted(acceptor.accept(), runtime.executor());
        await(runtime.executor(), stream->start(1s));

        asio::write(peer, asio::buffer(pattern(3000)));
        EXPECT_EQ(read(stream, 1000), pattern(1000));  // the rest stays unread
        const Bytes frame = pattern(1024 * 1024, 3);
        await(runtime.executor(), stream->write(frame));
        if (c.dropWithoutClose) {
            stream.reset();
        } else {
            stream->close();
        }
        if (c.peerWritesAfterTheEnd) {
            asio::write(peer, asio::buffer(pattern(64)));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a reset to arrive
        }

        Bytes got(frame.size());
        asio::read(peer, asio::buffer(got));
        EXPECT_EQ(got, frame);
        std::array<char, 1> byte;
        asio::error_code ec;
        peer.read_some(asio::buffer(byte), ec);
        EXPECT_EQ(ec, asio::error::eof);
    }
}

TEST_F(NetworkStreamIntegration, WorksFromItsOwnStrandAndFromElsewhere) {
    auto [stream, peer] = acceptedPair();
    const Bytes frame = pattern(100, 1);
    for (const auto& executor : {stream->executor(), runtime.executor()}) {
        await(executor, stream->write(frame));
        Bytes got(frame.size());
        asio::read(peer, asio::buffer(got));
        EXPECT_EQ(got, frame);
        asio::write(peer, asio::buffer(frame));
        EXPECT_EQ(await(executor, stream->readExactly(frame.size())), frame);
    }
    stream->close();
}

void fillAcceptQueue(tcp::acceptor& acceptor, std::vector<tcp::socket>& fillers, asio::io_context& io);

TEST_F(NetworkStreamIntegration, OutgoingConnectsToTheFirstEndpointThatAnswers) {
    // A listener whose queue is full never answers; a bound port that does not listen refuses.
    auto silent = listen(1);
    std::vector<tcp::socket> fillers;
    fillAcceptQueue(silent, fillers, io);
    ASSERT_FALSE(HasFatalFailure());
    tcp::socket refusing(io);
    refusing.open(tcp::v4());
    refusing.bind(anyLoopbackPort);
    auto acceptor = listen();
    // The silent address may not use up the whole time: the others get their share of it.
    auto stream = NetworkStream::outgoing(
        {silent.local_endpoint(), refusing.local_endpoint(), acceptor.local_endpoint()}, runtime.executor());
    await(runtime.executor(), stream->start(900ms));
    tcp::socket peer = acceptor.accept();
    const Bytes frame = pattern(16);
    await(runtime.executor(), stream->write(frame));
    Bytes got(frame.size());
    asio::read(peer, asio::buffer(got));
    EXPECT_EQ(got, frame);
    stream->close();
}

TEST_F(NetworkStreamIntegration, ConnectionRefusedPassesThroughUnchanged) {
    tcp::socket refusing(io);
    refusing.open(tcp::v4());
    refusing.bind(anyLoopbackPort);
    auto stream = NetworkStream::outgoing({refusing.local_endpoint()}, runtime.executor());
    try {
        await(runtime.executor(), stream->start(5s));
        FAIL() << "start succeeded";
    } catch (const ShareError& error) {
        FAIL() << "mapped to " << error.what();
    } catch (const std::system_error& error) {
        EXPECT_TRUE(isPosix(error.code(), std::errc::connection_refused)) << error.code();
    }
    stream->close();
}

TEST_F(NetworkStreamIntegration, NoEndpointIsUnreachable) {
    auto stream = NetworkStream::outgoing({}, runtime.executor());
    EXPECT_EQ(shareErrorOf([&] { await(runtime.executor(), stream->start(1s)); }),
              ShareError::Kind::unreachable);
}

// Fills a listener's accept queue so that the kernel drops every further connection attempt.
void fillAcceptQueue(tcp::acceptor& acceptor, std::vector<tcp::socket>& fillers, asio::io_context& io) {
    auto queue = [&] {
        tcp_info info{};
        socklen_t size = sizeof(info);
        EXPECT_EQ(getsockopt(acceptor.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &size), 0);
        // For a listening socket: the queued connections and the queue's limit.
        return std::pair<std::uint32_t, std::uint32_t>{info.tcpi_unacked, info.tcpi_sacked};
    };
    for (auto [queued, limit] = queue(); queued <= limit; std::tie(queued, limit) = queue()) {
        fillers.emplace_back(io).connect(acceptor.local_endpoint());
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (queue().first == queued) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "connection never queued";
            std::this_thread::sleep_for(1ms);
        }
    }
}

TEST_F(NetworkStreamIntegration, StartTimesOutAgainstASilentPeer) {
    auto acceptor = listen(1);
    std::vector<tcp::socket> fillers;
    fillAcceptQueue(acceptor, fillers, io);
    ASSERT_FALSE(HasFatalFailure());

    for (auto timeout : {0ms, 1ms, 50ms}) {
        SCOPED_TRACE(timeout.count());
        auto stream = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
        EXPECT_EQ(shareErrorOf([&] { await(runtime.executor(), stream->start(timeout)); }),
                  ShareError::Kind::unreachable);
        // The timeout closed the connection.
        EXPECT_EQ(shareErrorOf([&] { read(stream, 1); }), ShareError::Kind::connectionClosed);
        stream->close();
    }
}

TEST_F(NetworkStreamIntegration, CloseBeforeStartIsConnectionClosed) {
    auto acceptor = listen();
    auto outgoing = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
    tcp::socket peer(io);
    peer.connect(acceptor.local_endpoint());
    auto accepted = NetworkStream::accepted(acceptor.accept(), runtime.executor());
    for (const auto& stream : {outgoing, accepted}) {
        stream->close();
        EXPECT_EQ(shareErrorOf([&] { await(runtime.executor(), stream->start(1s)); }),
                  ShareError::Kind::connectionClosed);
    }
}

TEST_F(NetworkStreamIntegration, ReadyRacingTheTimeoutHasExactlyOneOutcome) {
    int ready = 0, timedOut = 0;
    for (int i = 0; i < 300; ++i) {
        auto acceptor = listen();  // a fresh one: no connection left over from a timed-out start
        auto stream = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
        try {
            await(runtime.executor(), stream->start(std::chrono::milliseconds(i % 3)));
            ++ready;
            // A stream that won stays open and usable.
            tcp::socket peer = acceptor.accept();
            const Bytes frame = pattern(4, static_cast<std::uint8_t>(i));
            await(runtime.executor(), stream->write(frame));
            Bytes got(4);
            asio::read(peer, asio::buffer(got));
            ASSERT_EQ(got, frame);
        } catch (const ShareError& error) {
            ASSERT_EQ(error.kind(), ShareError::Kind::unreachable);
            ++timedOut;
            ASSERT_THROW(read(stream, 1), ShareError);
        }
        stream->close();
    }
    EXPECT_EQ(ready + timedOut, 300);
    std::cout << "ready " << ready << ", timed out " << timedOut << "\n";
}

TEST_F(NetworkStreamIntegration, CloseRacingReadyHasExactlyOneOutcome) {
    int ready = 0, closed = 0;
    for (int i = 0; i < 300; ++i) {
        auto acceptor = listen();
        auto stream = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
        auto started = asio::co_spawn(runtime.executor(), stream->start(5s), asio::use_future);
        std::thread closer([&] {
            for (int spin = 0; spin < i % 50 * 20; ++spin) std::this_thread::yield();
            stream->close();
        });
        closer.join();
        ASSERT_EQ(started.wait_for(20s), std::future_status::ready);
        try {
            started.get();
            ++ready;
        } catch (const ShareError& error) {
            ASSERT_EQ(error.kind(), ShareError::Kind::connectionClosed);
            ++closed;
        }
        // Either way the stream is closed now.
        ASSERT_THROW(read(stream, 1), ShareError);
    }
    EXPECT_EQ(ready + closed, 300);
    std::cout << "ready " << ready << ", closed " << closed << "\n";
}

}  // namespace
}  // namespace velmo
