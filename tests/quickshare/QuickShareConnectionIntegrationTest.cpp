// Two connections talking over loopback TCP, keys installed directly.
#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "SecurePeer.h"
#include "platform/Runtime.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "support/AsyncTest.h"
#include "support/LoopbackStreams.h"

namespace velmo {
namespace {

using namespace velmo::test;
using namespace std::chrono_literals;
using Header = nc::PayloadTransferFrame::PayloadHeader;

// Runs `make` on the connection's strand and waits for it.
template <class Make>
auto on(const std::shared_ptr<QuickShareConnection>& connection, Make&& make) {
    return runAsync(connection->executor(), std::forward<Make>(make));
}

class ConnectionOverTcp : public ::testing::Test {
protected:
    ConnectionOverTcp() {
        auto streams = LoopbackStreams::open(runtime.executor());
        sender = QuickShareConnection::create(streams.outgoing, timeouts);
        receiver = QuickShareConnection::create(streams.accepted, timeouts);
        senderFrames = on(sender, [&]() -> asio::awaitable<std::shared_ptr<FrameStream>> {
            sender->installKeys(knownClientKeys());
            co_return sender->incomingFrames();
        });
        receiverFrames = on(receiver, [&]() -> asio::awaitable<std::shared_ptr<FrameStream>> {
            receiver->installKeys(knownServerKeys());
            co_return receiver->incomingFrames();
        });
    }
    ~ConnectionOverTcp() override {
        on(sender, [&]() -> asio::awaitable<void> { sender->close(); co_return; });
        on(receiver, [&]() -> asio::awaitable<void> { receiver->close(); co_return; });
        runtime.stop();
    }

    std::string endOf(const std::shared_ptr<QuickShareConnection>& connection,
                      const std::shared_ptr<FrameStream>& frames) {
        return on(connection, [&]() -> asio::awaitable<std::string> {
            try {
                while (co_await frames->next()) {
                }
                co_return "normal";
            } catch (const std::exception& e) {
                co_return e.what();
            }
        });
    }

    Runtime runtime{3};
    ConnectionTimeouts timeouts{.keepAlive = 15ms, .writeDeadline = 10s};
    std::shared_ptr<QuickShareConnection> sender, receiver;
    std::shared_ptr<FrameStream> senderFrames, receiverFrames;
};

TEST_F(ConnectionOverTcp, SharingFramesBothWaysThroughKeepAlives) {
    // Keep-alives flow both ways meanwhile; each takes a number, and the numbering holds.
    std::this_thread::sleep_for(80ms);
    on(sender, [&] { return sender->sendFrame(sharingFrame(sharing::V1Frame::INTRODUCTION)); });
    const auto got = on(receiver, [&] { return receiverFrames->next(); });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->v1().type(), sharing::V1Frame::INTRODUCTION);
    on(receiver, [&] { return receiver->sendFrame(sharingFrame(sharing::V1Frame::RESPONSE)); });
    const auto answer = on(sender, [&] { return senderFrames->next(); });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->v1().type(), sharing::V1Frame::RESPONSE);
}

TEST_F(ConnectionOverTcp, AFilePayloadArrivesWholeInOrder) {
    const std::size_t size = 3 * QuickShareConnection::fileChunkSize + 5;
    Bytes file(size);
    for (std::size_t i = 0; i < size; ++i) file[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
    Bytes received;
    std::vector<std::int64_t> offsets;
    bool sawLast = false;
    on(receiver, [&]() -> asio::awaitable<void> {
        receiver->setFileSink([&](std::int64_t id, std::int64_t offset, ByteView body,
                                  bool last) -> asio::awaitable<void> {
            EXPECT_EQ(id, 1234);
            offsets.push_back(offset);
            received.insert(received.end(), body.begin(), body.end());
            sawLast = sawLast || last;
            co_return;
        });
        co_return;
    });
    on(sender, [&]() -> asio::awaitable<void> {
        std::size_t offset = 0;
        while (offset < size) {
            const std::size_t n = std::min(QuickShareConnection::fileChunkSize, size - offset);
            co_await sender->sendPayloadChunk(1234, Header::FILE, static_cast<std::int64_t>(size),
                                              static_cast<std::int64_t>(offset),
                                              ByteView(file).subspan(offset, n), false);
            offset += n;
        }
        co_await sender->sendPayloadChunk(1234, Header::FILE, static_cast<std::int64_t>(size),
                                          static_cast<std::int64_t>(size), {}, true);
        co_await sender->sendDisconnection();
    });
    EXPECT_EQ(endOf(receiver, receiverFrames), "The phone disconnected.");
    EXPECT_TRUE(sawLast);
    EXPECT_EQ(offsets, (std::vector<std::int64_t>{0, 524288, 1048576, 1572864, 1572869}));
    EXPECT_EQ(received, file);
    EXPECT_EQ(endOf(sender, senderFrames), "normal");
}

TEST_F(ConnectionOverTcp, APeerThatGoesAwayEndsTheStreamWithAnError) {
    on(receiver, [&]() -> asio::awaitable<void> { receiver->close(); co_return; });
    EXPECT_EQ(endOf(receiver, receiverFrames), "normal");
    const std::string end = endOf(sender, senderFrames);
    EXPECT_NE(end, "normal");
    EXPECT_TRUE(on(sender, [&]() -> asio::awaitable<bool> { co_return sender->isClosed(); }));
}

}  // namespace
}  // namespace velmo
