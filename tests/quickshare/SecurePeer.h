// The phone's side of an encrypted connection in tests: it seals and opens secure messages
// with the mirror image of the connection's keys, so a test can send exact frames and read
// what the connection wrote.
#pragma once
#include <asio/awaitable.hpp>
#include <memory>

#include "platform/Bytes.h"
#include "proto/connections.pb.h"
#include "proto/sharing.pb.h"
#include "quickshare/KeySchedule.h"
#include "quickshare/SecureChannel.h"
#include "support/DeterministicRandom.h"
#include "transfer/ByteStream.h"

namespace velmo::test {

namespace nc = location::nearby::connections;
namespace sharing = nearby::sharing::service::proto;

// The keys the other end uses: what one side encrypts, the other decrypts.
SessionKeys mirrored(const SessionKeys& keys);

// Keys for tests that need no handshake: the known-answer schedule, client or server side.
SessionKeys knownClientKeys();
SessionKeys knownServerKeys();

// Connection frames the tests send and expect.
nc::OfflineFrame offlineFrame(nc::V1Frame::FrameType type);
nc::OfflineFrame payloadFrame(std::int64_t id, nc::PayloadTransferFrame::PayloadHeader::PayloadType type,
                              std::int64_t total, std::int64_t offset, ByteView body, bool last);
nc::OfflineFrame controlFrame(nc::PayloadTransferFrame::ControlMessage::EventType event);
sharing::Frame sharingFrame(sharing::V1Frame::FrameType type);

class SecurePeer {
public:
    // `stream` is the phone's end; `keys` are the phone's own keys.
    SecurePeer(std::shared_ptr<ByteStream> stream, SessionKeys keys);

    // One sealed secure message (the frame body), under the next sending number.
    Bytes seal(const nc::OfflineFrame& frame);

    asio::awaitable<void> sendRaw(ByteView bytes);
    asio::awaitable<void> sendBody(ByteView body);  // adds the length prefix
    asio::awaitable<void> send(nc::OfflineFrame frame);
    // A sharing frame as one BYTES chunk and an empty last chunk.
    asio::awaitable<void> sendSharing(sharing::Frame frame, std::int64_t payloadId);

    asio::awaitable<Bytes> readBody();
    asio::awaitable<nc::OfflineFrame> read();
    // Reads frames until a sharing frame is complete (skipping keep-alives).
    asio::awaitable<sharing::Frame> readSharing();

    SecureChannel& channel() { return channel_; }
    ByteStream& stream() { return *stream_; }

private:
    std::shared_ptr<ByteStream> stream_;
    SecureChannel channel_;
    DeterministicRandom random_{7};
};

}  // namespace velmo::test
