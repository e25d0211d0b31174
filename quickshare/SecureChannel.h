// The secure-message layer of a connection after the key exchange: each connection frame
// travels numbered, AES-256-CBC encrypted and HMAC-SHA256 signed.
#pragma once
#include <cstdint>
#include <memory>
#include <span>

#include "platform/Bytes.h"
#include "platform/RandomSource.h"
#include "quickshare/KeySchedule.h"

namespace location::nearby::connections {
class OfflineFrame;
}

namespace velmo {

class SecureChannel {
public:
    using OfflineFrame = location::nearby::connections::OfflineFrame;

    // The counters name the last message sent and received; tests may start them high.
    explicit SecureChannel(SessionKeys keys, std::int32_t sendSequence = 0,
                           std::int32_t receiveSequence = 0);
    ~SecureChannel();
    SecureChannel(SecureChannel&&) noexcept;
    SecureChannel& operator=(SecureChannel&&) noexcept;

    // The encoded secure message carrying `frame` under the next sending number. The
    // number is used up even when a later step fails. Throws QuickShareError::protocolError
    // once the counter is exhausted, rather than ever reusing a number.
    Bytes seal(const OfflineFrame& frame, RandomSource& random);

    // The same, written into `out` from `offset` on (out is resized; the bytes before offset
    // are kept), so a caller can put a length prefix in front without another copy.
    void sealInto(const OfflineFrame& frame, RandomSource& random, Bytes& out, std::size_t offset);

    // The same for a frame already encoded, given as up to two pieces that together are its
    // bytes (a chunk's head and its body), so a large body is encrypted where it lies.
    static constexpr std::size_t maxFramePieces = 2;
    void sealInto(std::span<const ByteView> frame, RandomSource& random, Bytes& out, std::size_t offset);

    // The frame inside one received secure message. The signature is checked, in constant
    // time, before anything inside the message is decoded or decrypted.
    OfflineFrame open(ByteView secureMessage);

    // The same, decoded into `frame` so a reader can reuse it.
    void openInto(ByteView secureMessage, OfflineFrame& frame);

    const SessionKeys& keys() const { return keys_; }
    std::int32_t sendSequence() const { return sendSequence_; }
    std::int32_t receiveSequence() const { return receiveSequence_; }

private:
    // Messages and buffers kept from one message to the next: a 512 KiB file chunk passes
    // through four nested messages, and reusing their storage saves allocating (and
    // page-faulting) fresh blocks for every chunk.
    struct Scratch;

    SessionKeys keys_;
    std::int32_t sendSequence_;
    std::int32_t receiveSequence_;
    std::unique_ptr<Scratch> scratch_;
};

}  // namespace velmo
