// The secure-message layer of a connection after the key exchange: each connection frame
// travels numbered, AES-256-CBC encrypted and HMAC-SHA256 signed.
#pragma once
#include <cstdint>

#include "platform/Bytes.h"
#include "platform/RandomSource.h"
#include "quickshare/KeySchedule.h"

namespace location::nearby::connections {
class OfflineFrame;
}

namespace velmo {

class SecureChannel {
public:
    // The counters name the last message sent and received; tests may start them high.
    explicit SecureChannel(SessionKeys keys, std::int32_t sendSequence = 0,
                           std::int32_t receiveSequence = 0);

    // The encoded secure message carrying `frame` under the next sending number. The
    // number is used up even when a later step fails. Throws QuickShareError::protocolError
    // once the counter is exhausted, rather than ever reusing a number.
    Bytes seal(const location::nearby::connections::OfflineFrame& frame, RandomSource& random);

    // The frame inside one received secure message. The signature is checked, in constant
    // time, before anything inside the message is decoded or decrypted.
    location::nearby::connections::OfflineFrame open(ByteView secureMessage);

    const SessionKeys& keys() const { return keys_; }
    std::int32_t sendSequence() const { return sendSequence_; }
    std::int32_t receiveSequence() const { return receiveSequence_; }

private:
    SessionKeys keys_;
    std::int32_t sendSequence_;
    std::int32_t receiveSequence_;
};

}  // namespace velmo
