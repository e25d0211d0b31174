// The server side of the connection handshake, run by the receive flow on a connection a
// phone opened: connection request, UKEY2 client init / server init / client finished,
// key derivation, then the two connection responses (the phone's first).
#pragma once
#include <asio/awaitable.hpp>
#include <memory>
#include <string>

#include "quickshare/HandshakeWatchdog.h"

namespace velmo {

class QuickShareConnection;

struct ServerHandshakeResult {
    std::string peerName;  // the phone's name as it introduced itself
    std::string pin;       // the four digits both people compare
};

// Runs the handshake on `connection` under the time limit; the connection then has its
// keys. Fails with the error that ended the handshake (QuickShareError::timedOut when the
// limit passed first, the codec's or the stream's error as they come); a failed handshake
// leaves the connection closed.
asio::awaitable<ServerHandshakeResult> serverHandshakeWithTimeout(
    std::shared_ptr<QuickShareConnection> connection, HandshakeTimeouts timeouts = {});

}  // namespace velmo
