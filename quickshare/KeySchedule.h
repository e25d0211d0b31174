// Turns the UKEY2 shared secret into the connection's authentication string, PIN and the
// four traffic keys.
#pragma once
#include <string>

#include "platform/Bytes.h"

namespace velmo {

// The keys one side uses for its secure messages.
struct SessionKeys {
    Bytes authString;      // 32 bytes, the source of the PIN
    std::string pin;       // four digits
    Bytes encryptKey;      // AES-256-CBC, messages this side sends
    Bytes sendHmacKey;     // HMAC-SHA256, messages this side sends
    Bytes decryptKey;      // AES-256-CBC, messages the phone sends
    Bytes receiveHmacKey;  // HMAC-SHA256, messages the phone sends
};

// Every value of the schedule, kept for tests that check each step.
struct KeySchedule {
    Bytes dhs;                 // SHA-256 of the shared secret
    Bytes authString;
    Bytes nextProtocolSecret;
    std::string pin;
    Bytes clientKey;           // device-to-device key of the UKEY2 client
    Bytes serverKey;           // device-to-device key of the UKEY2 server

    // `sharedSecret` is the 32-byte P-256 Diffie-Hellman x-coordinate; the init messages are
    // the exact frame bodies of CLIENT_INIT and SERVER_INIT, as sent or received.
    static KeySchedule derive(ByteView sharedSecret, ByteView clientInit, ByteView serverInit);

    // The traffic keys of the UKEY2 client (the side that sends files) or of the server.
    SessionKeys sessionKeys(bool isClient) const;
};

}  // namespace velmo
