// Reads into the caller's buffer: the same bytes and the same failures as readExactly.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <numeric>
#include <thread>

#include "platform/Runtime.h"
#include "support/MemoryStream.h"
#include "support/AsyncTest.h"
#include "transfer/NetworkStream.h"
#include "transfer/ShareError.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

using test::await;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

class ReadIntoTest : public ::testing::Test {
protected:
    std::pair<std::shared_ptr<NetworkStream>, tcp::socket> acceptedPair() {
        tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        tcp::socket peer(io);
        peer.connect(acceptor.local_endpoint());
        auto stream = NetworkStream::accepted(acceptor.accept(), runtime.executor());
        await(runtime.executor(), stream->start(1s));
        return {stream, std::move(peer)};
    }

    Runtime runtime{2};
    asio::io_context io;  // never run: the peer's socket is used blocking
};

TEST_F(ReadIntoTest, FillsExactlyTheSpanAndLeavesTheRestOfTheBuffer) {
    auto [stream, peer] = acceptedPair();
    const Bytes all = pattern(4 + 600000 + 3, 9);
    std::thread writer([&, &peer = peer] { asio::write(peer, asio::buffer(all)); });
    Bytes buffer(700000, 0xee);
    std::size_t offset = 0;
    for (const std::size_t n : {std::size_t{4}, std::size_t{600000}, std::size_t{3}}) {
        await(runtime.executor(), stream->readExactlyInto(std::span<std::uint8_t>(buffer).first(n)));
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n),
                               all.begin() + static_cast<std::ptrdiff_t>(offset)));
        offset += n;
    }
    EXPECT_EQ(buffer[600000], 0xee);  // past every span read
    writer.join();
    stream->close();
}

TEST_F(ReadIntoTest, AShortStreamIsConnectionClosed) {
    auto [stream, peer] = acceptedPair();
    asio::write(peer, asio::buffer(pattern(5, 0)));
    peer.shutdown(tcp::socket::shutdown_send);
    Bytes buffer(8);
    try {
        await(runtime.executor(), stream->readExactlyInto(buffer));
        ADD_FAILURE() << "read past the end";
    } catch (const ShareError& e) {
        EXPECT_EQ(e.kind(), ShareError::Kind::connectionClosed);
    }
    stream->close();
}

TEST_F(ReadIntoTest, StreamsWithoutTheirOwnReadIntoCopyFromReadExactly) {
    auto pair = test::MemoryStreamPair::create(runtime.executor());
    const Bytes sent = pattern(1000, 3);
    await(runtime.executor(), pair.a->write(sent));
    Bytes buffer(1000);
    await(pair.b->executor(), pair.b->readExactlyInto(buffer));
    EXPECT_EQ(buffer, sent);
}

}  // namespace
}  // namespace velmo
