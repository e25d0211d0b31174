#include "quickshare/Ukey2ServerHandshake.h"

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <openssl/crypto.h>

#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/Ukey2Messages.h"
#include "quickshare/WatchedHandshake.h"

namespace velmo {
namespace {

asio::awaitable<ServerHandshakeResult> serverHandshake(QuickShareConnection& connection) {
    ServerHandshakeResult result;
    result.peerName = ukey2::readConnectionRequest(co_await connection.readFrame());

    const Bytes clientInit = co_await connection.readFrame();
    const Bytes commitment = ukey2::readClientInit(clientInit);

    RandomSource& random = connection.random();
    const P256PrivateKey key = ukey2::newKeyPair(random);
    const Bytes serverInit = ukey2::serverInit(key.publicKey(), random.bytes(ukey2::kRandomSize));
    co_await connection.writeFrame(serverInit);

    const P256PublicKey peerKey =
        ukey2::readClientFinished(co_await connection.readFrame(), commitment);
    Bytes secret = key.sharedSecret(peerKey);
    connection.deriveKeys(secret, clientInit, serverInit, false);
    OPENSSL_cleanse(secret.data(), secret.size());

    // The phone's response comes first; whatever it says, ours follows.
    ukey2::readConnectionResponse(co_await connection.readFrame());
    co_await connection.writeFrame(ukey2::connectionResponse());
    result.pin = connection.pin();
    co_return result;
}

// Runs on the connection's strand, as the watchdog and every connection operation must.
asio::awaitable<ServerHandshakeResult> timedServerHandshake(
    std::shared_ptr<QuickShareConnection> connection, HandshakeTimeouts timeouts) {
    auto handshake = serverHandshake(*connection);
    co_return co_await watchedHandshake(connection, timeouts.handshake, std::move(handshake));
}

}  // namespace

asio::awaitable<ServerHandshakeResult> serverHandshakeWithTimeout(
    std::shared_ptr<QuickShareConnection> connection, HandshakeTimeouts timeouts) {
    auto executor = connection->executor();
    co_return co_await asio::co_spawn(executor, timedServerHandshake(std::move(connection), timeouts),
                                      asio::use_awaitable);
}

}  // namespace velmo
