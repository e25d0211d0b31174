#include "SecurePeer.h"

#include <stdexcept>

#include "proto/Codec.h"
#include "quickshare/FrameCodec.h"
#include "support/KnownAnswers.h"

namespace velmo::test {

SessionKeys mirrored(const SessionKeys& keys) {
    SessionKeys other = keys;
    other.encryptKey = keys.decryptKey;
    other.sendHmacKey = keys.receiveHmacKey;
    other.decryptKey = keys.encryptKey;
    other.receiveHmacKey = keys.sendHmacKey;
    return other;
}

namespace {

KeySchedule knownSchedule() {
    const auto& ukey2 = knownAnswers("ukey2");
    return KeySchedule::derive(hexField(ukey2, "shared_secret"),
                               hexField(ukey2, "client_init_message"),
                               hexField(ukey2, "server_init_message"));
}

}  // namespace

SessionKeys knownClientKeys() { return knownSchedule().sessionKeys(true); }
SessionKeys knownServerKeys() { return knownSchedule().sessionKeys(false); }

nc::OfflineFrame offlineFrame(nc::V1Frame::FrameType type) {
    nc::OfflineFrame frame;
    frame.set_version(nc::OfflineFrame::V1);
    frame.mutable_v1()->set_type(type);
    return frame;
}

nc::OfflineFrame payloadFrame(std::int64_t id, nc::PayloadTransferFrame::PayloadHeader::PayloadType type,
                              std::int64_t total, std::int64_t offset, ByteView body, bool last) {
    auto frame = offlineFrame(nc::V1Frame::PAYLOAD_TRANSFER);
    auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
    transfer->set_packet_type(nc::PayloadTransferFrame::DATA);
    transfer->mutable_payload_header()->set_id(id);
    transfer->mutable_payload_header()->set_type(type);
    transfer->mutable_payload_header()->set_total_size(total);
    transfer->mutable_payload_chunk()->set_offset(offset);
    transfer->mutable_payload_chunk()->set_flags(last ? 1 : 0);
    transfer->mutable_payload_chunk()->set_body(reinterpret_cast<const char*>(body.data()), body.size());
    return frame;
}

nc::OfflineFrame controlFrame(nc::PayloadTransferFrame::ControlMessage::EventType event) {
    auto frame = offlineFrame(nc::V1Frame::PAYLOAD_TRANSFER);
    auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
    transfer->set_packet_type(nc::PayloadTransferFrame::CONTROL);
    transfer->mutable_control_message()->set_event(event);
    return frame;
}

sharing::Frame sharingFrame(sharing::V1Frame::FrameType type) {
    sharing::Frame frame;
    frame.set_version(sharing::Frame::V1);
    frame.mutable_v1()->set_type(type);
    return frame;
}

SecurePeer::SecurePeer(std::shared_ptr<ByteStream> stream, SessionKeys keys)
    : stream_(std::move(stream)), channel_(std::move(keys)) {}

Bytes SecurePeer::seal(const nc::OfflineFrame& frame) { return channel_.seal(frame, random_); }

asio::awaitable<void> SecurePeer::sendRaw(ByteView bytes) { co_await stream_->write(bytes); }

asio::awaitable<void> SecurePeer::sendBody(ByteView body) {
    const Bytes frame = frame_codec::encode(body);
    co_await stream_->write(frame);
}

asio::awaitable<void> SecurePeer::send(nc::OfflineFrame frame) {
    const Bytes body = seal(frame);
    co_await sendBody(body);
}

asio::awaitable<void> SecurePeer::sendSharing(sharing::Frame frame, std::int64_t payloadId) {
    const Bytes body = proto::encode(frame);
    const auto size = static_cast<std::int64_t>(body.size());
    co_await send(payloadFrame(payloadId, nc::PayloadTransferFrame::PayloadHeader::BYTES, size, 0, body, false));
    co_await send(payloadFrame(payloadId, nc::PayloadTransferFrame::PayloadHeader::BYTES, size, size, {}, true));
}

asio::awaitable<Bytes> SecurePeer::readBody() {
    const Bytes prefix = co_await stream_->readExactly(frame_codec::prefixLength);
    co_return co_await stream_->readExactly(frame_codec::bodyLength(prefix));
}

asio::awaitable<nc::OfflineFrame> SecurePeer::read() {
    const Bytes body = co_await readBody();
    co_return channel_.open(body);
}

asio::awaitable<sharing::Frame> SecurePeer::readSharing() {
    Bytes whole;
    for (;;) {
        const auto frame = co_await read();
        if (frame.v1().type() != nc::V1Frame::PAYLOAD_TRANSFER) continue;
        const auto& chunk = frame.v1().payload_transfer().payload_chunk();
        whole.insert(whole.end(), chunk.body().begin(), chunk.body().end());
        if (chunk.flags() & 1) co_return proto::decode<sharing::Frame>(whole);
    }
}

}  // namespace velmo::test
