#include "quickshare/Ukey2ClientHandshake.h"

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <limits>
#include <openssl/crypto.h>

#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/Ukey2Messages.h"
#include "quickshare/WatchedHandshake.h"

namespace velmo {
namespace {

asio::awaitable<std::string> clientHandshake(QuickShareConnection& connection,
                                             const EndpointInfo& info, const std::string& name) {
    RandomSource& random = connection.random();
    const auto nonce =
        static_cast<std::int32_t>(random.uniform(0, std::numeric_limits<std::int32_t>::max()));
    co_await connection.writeFrame(
        ukey2::connectionRequest(EndpointInfo::makeEndpointID(), name, nonce, info.encoded()));

    const P256PrivateKey key = ukey2::newKeyPair(random);
    const auto messages = ukey2::clientMessages(key.publicKey(), random.bytes(ukey2::kRandomSize));
    co_await connection.writeFrame(messages.clientInit);

    const Bytes serverInit = co_await connection.readFrame();
    const P256PublicKey peerKey = ukey2::readServerInit(serverInit);
    // Sent exactly as committed to in the client init.
    co_await connection.writeFrame(messages.clientFinished);

    Bytes secret = key.sharedSecret(peerKey);
    connection.deriveKeys(secret, messages.clientInit, serverInit, true);
    OPENSSL_cleanse(secret.data(), secret.size());

    // Ours goes out before the phone's is read.
    co_await connection.writeFrame(ukey2::connectionResponse());
    if (!ukey2::readConnectionResponseAccepts(co_await connection.readFrame())) {
        throw QuickShareError::declined();
    }
    co_return connection.pin();
}

// Runs on the connection's strand, as the watchdog and every connection operation must.
asio::awaitable<std::string> timedClientHandshake(std::shared_ptr<QuickShareConnection> connection,
                                                  EndpointInfo info, std::string name,
                                                  HandshakeTimeouts timeouts) {
    auto handshake = clientHandshake(*connection, info, name);
    co_return co_await watchedHandshake(connection, timeouts.handshake, std::move(handshake));
}

}  // namespace

asio::awaitable<std::string> clientHandshakeWithTimeout(
    std::shared_ptr<QuickShareConnection> connection, EndpointInfo info, std::string name,
    HandshakeTimeouts timeouts) {
    auto executor = connection->executor();
    co_return co_await asio::co_spawn(
        executor, timedClientHandshake(std::move(connection), std::move(info), std::move(name), timeouts),
        asio::use_awaitable);
}

}  // namespace velmo
