// The client side of the connection handshake, run by the send flow on the connection it
// opened to a phone: connection request, UKEY2 client init / server init / client finished,
// key derivation, then the two connection responses (ours first).
#pragma once
#include <asio/awaitable.hpp>
#include <memory>
#include <string>

#include "quickshare/EndpointInfo.h"
#include "quickshare/HandshakeWatchdog.h"

namespace velmo {

class QuickShareConnection;

// Runs the handshake on `connection` under the time limit and returns the PIN; the
// connection then has its keys. `info` and `name` describe this computer to the phone.
// Fails with the error that ended the handshake (QuickShareError::declined when the phone
// refuses the connection, QuickShareError::timedOut when the limit passed first, the
// codec's or the stream's error as they come); a failed handshake leaves the connection
// closed.
asio::awaitable<std::string> clientHandshakeWithTimeout(
    std::shared_ptr<QuickShareConnection> connection, EndpointInfo info, std::string name,
    HandshakeTimeouts timeouts = {});

}  // namespace velmo
