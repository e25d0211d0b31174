// Both handshake roles over real TCP connections on 127.0.0.1.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/read.hpp>
#include <asio/use_future.hpp>

#include "platform/Runtime.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/Ukey2ClientHandshake.h"
#include "quickshare/Ukey2ServerHandshake.h"
#include "support/AsyncTest.h"
#include "transfer/NetworkStream.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
namespace nc = location::nearby::connections;

class Ukey2HandshakeIntegrationTest : public ::testing::Test {
protected:
    Runtime runtime{2};
    tcp::acceptor acceptor{runtime.context(), tcp::endpoint(asio::ip::address_v4::loopback(), 0)};

    // An accepted stream and the started outgoing stream to it.
    std::pair<std::shared_ptr<NetworkStream>, std::shared_ptr<NetworkStream>> connectedStreams() {
        auto accepted = acceptor.async_accept(asio::use_future);
        auto outgoing = NetworkStream::outgoing({acceptor.local_endpoint()}, runtime.executor());
        test::runAsync(runtime.executor(), [&] { return outgoing->start(2s); });
        auto incoming = NetworkStream::accepted(accepted.get(), runtime.executor());
        test::runAsync(runtime.executor(), [&] { return incoming->start(2s); });
        return {incoming, outgoing};
    }
};

TEST_F(Ukey2HandshakeIntegrationTest, ClientAndServerAgreeAndTalk) {
    for (int round = 0; round < 3; ++round) {
        auto [incoming, outgoing] = connectedStreams();
        auto server = QuickShareConnection::create(incoming);
        auto client = QuickShareConnection::create(outgoing);
        const EndpointInfo info{EndpointInfo::DeviceType::laptop, std::string("Zoë's Laptop"), std::nullopt};

        auto serverDone = asio::co_spawn(
            incoming->executor(), [&] { return serverHandshakeWithTimeout(server, {5s}); }, asio::use_future);
        const std::string pin = test::runAsync(
            outgoing->executor(), [&] { return clientHandshakeWithTimeout(client, info, "Zoë's Laptop", {5s}); });
        const ServerHandshakeResult result = serverDone.get();

        EXPECT_EQ(result.pin, pin);
        EXPECT_EQ(result.peerName, "Zoë's Laptop");
        EXPECT_EQ(client->keys().encryptKey, server->keys().decryptKey);
        EXPECT_EQ(client->keys().receiveHmacKey, server->keys().sendHmacKey);

        // The keys carry a secure message each way.
        nc::OfflineFrame keepAlive;
        keepAlive.set_version(nc::OfflineFrame::V1);
        keepAlive.mutable_v1()->set_type(nc::V1Frame::KEEP_ALIVE);
        test::runAsync(outgoing->executor(), [&] { return client->sendEncrypted(keepAlive); });
        EXPECT_EQ(test::runAsync(incoming->executor(), [&] { return server->readEncrypted(); }).v1().type(),
                  nc::V1Frame::KEEP_ALIVE);
        test::runAsync(incoming->executor(), [&] { return server->sendEncrypted(keepAlive); });
        EXPECT_EQ(test::runAsync(outgoing->executor(), [&] { return client->readEncrypted(); }).v1().type(),
                  nc::V1Frame::KEEP_ALIVE);
        client->close();
        server->close();
    }
}

TEST_F(Ukey2HandshakeIntegrationTest, SilentPhoneIsTimedOutAndDisconnected) {
    auto accepted = acceptor.async_accept(asio::use_future);
    tcp::socket phone(runtime.context());
    phone.connect(acceptor.local_endpoint());
    auto server = QuickShareConnection::create(NetworkStream::accepted(accepted.get(), runtime.executor()));
    try {
        test::runAsync(runtime.executor(), [&] { return serverHandshakeWithTimeout(server, {100ms}); });
        FAIL() << "the handshake did not time out";
    } catch (const QuickShareError& e) {
        EXPECT_EQ(e, QuickShareError::timedOut());
    }
    std::error_code ec;
    std::uint8_t byte;
    asio::read(phone, asio::buffer(&byte, 1), ec);
    EXPECT_EQ(ec, asio::error::eof);
}

TEST_F(Ukey2HandshakeIntegrationTest, ClientFacingAClosedConnectionFailsAndCloses) {
    auto [incoming, outgoing] = connectedStreams();
    incoming->close();
    auto client = QuickShareConnection::create(outgoing);
    const EndpointInfo info{EndpointInfo::DeviceType::laptop, std::string("Desk"), std::nullopt};
    EXPECT_ANY_THROW(test::runAsync(outgoing->executor(),
                                    [&] { return clientHandshakeWithTimeout(client, info, "Desk", {5s}); }));
}

}  // namespace
}  // namespace velmo
