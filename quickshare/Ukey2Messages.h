// The clear-text messages of the connection handshake: building them exactly and checking
// what the phone sends, with no I/O. Both handshake roles use these.
#pragma once
#include <cstdint>
#include <string>

#include "platform/Bytes.h"
#include "platform/EcKey.h"
#include "platform/RandomSource.h"

namespace velmo::ukey2 {

// The next protocol this side asks for in its client init.
inline constexpr const char* kNextProtocol = "AES_256_CBC-HMAC_SHA256";
// The length of the random value of either init message.
inline constexpr std::size_t kRandomSize = 32;

// A fresh P-256 key pair whose scalar is drawn from `random`.
P256PrivateKey newKeyPair(RandomSource& random);

// An offline frame asking for a connection over Wi-Fi LAN.
Bytes connectionRequest(const std::string& endpointId, const std::string& endpointName,
                        std::int32_t nonce, ByteView endpointInfo);

// An offline frame accepting the connection: status 0, ACCEPT, this computer's OS.
Bytes connectionResponse();

// The client's two UKEY2 messages. The client init commits to the client-finished bytes,
// which must later be sent exactly as they are here.
struct ClientMessages {
    Bytes clientInit;
    Bytes clientFinished;
    Bytes commitment;  // SHA-512 of clientFinished
};
ClientMessages clientMessages(const P256PublicKey& key, ByteView random);

// The server's UKEY2 init message.
Bytes serverInit(const P256PublicKey& key, ByteView random);

// --- Checks of what the phone sends; each throws the error the handshake ends with. ---

// Client role: the answer to the client init must be a usable server init; an alert
// becomes a "phone rejected the handshake (...)" error.
P256PublicKey readServerInit(ByteView frame);

// Client role: the phone's connection response; false when it declines.
bool readConnectionResponseAccepts(ByteView frame);

// Server role: the phone's connection request; returns the name to show for the phone.
std::string readConnectionRequest(ByteView frame);

// Server role: the client init; returns the commitment of its first P-256 entry.
Bytes readClientInit(ByteView frame);

// Server role: the client-finished frame must hash to `commitment` before it is decoded.
P256PublicKey readClientFinished(ByteView frame, ByteView commitment);

// Server role: the phone's connection response; its content is not looked at.
void readConnectionResponse(ByteView frame);

}  // namespace velmo::ukey2
