#include "quickshare/QuickShareConnection.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <limits>
#include <stdexcept>

#include "proto/Codec.h"
#include "quickshare/FrameCodec.h"
#include "quickshare/PayloadChunkHead.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/WriteQueue.h"

namespace velmo {
namespace {

namespace nc = location::nearby::connections;
using PayloadTransfer = nc::PayloadTransferFrame;

ByteView asBytes(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

nc::OfflineFrame connectionFrame(nc::V1Frame::FrameType type) {
    nc::OfflineFrame frame;
    frame.set_version(nc::OfflineFrame::V1);
    frame.mutable_v1()->set_type(type);
    return frame;
}

}  // namespace

std::shared_ptr<QuickShareConnection> QuickShareConnection::create(
    std::shared_ptr<ByteStream> stream, ConnectionTimeouts timeouts,
    std::shared_ptr<RandomSource> random) {
    return std::shared_ptr<QuickShareConnection>(
        new QuickShareConnection(std::move(stream), timeouts, std::move(random)));
}

QuickShareConnection::QuickShareConnection(std::shared_ptr<ByteStream> stream,
                                           ConnectionTimeouts timeouts,
                                           std::shared_ptr<RandomSource> random)
    : stream_(std::move(stream)),
      timeouts_(timeouts),
      random_(std::move(random)),
      writes_(WriteQueue::create(stream_, timeouts.writeDeadline)),
      keepAliveTimer_(stream_->executor()) {}

// --- Clear-text frames ---

asio::awaitable<Bytes> QuickShareConnection::readFrame() {
    const Bytes prefix = co_await stream_->readExactly(frame_codec::prefixLength);
    const std::uint32_t length = frame_codec::bodyLength(prefix, frame_codec::maxHandshakeBodyLength);
    co_return co_await stream_->readExactly(length);
}

asio::awaitable<void> QuickShareConnection::writeFrame(Bytes body) {
    co_await writes_->write(frame_codec::encode(body));
}

// --- Keys ---

void QuickShareConnection::deriveKeys(ByteView sharedSecret, ByteView clientInit,
                                      ByteView serverInit, bool isClient) {
    installKeys(KeySchedule::derive(sharedSecret, clientInit, serverInit).sessionKeys(isClient));
}

void QuickShareConnection::installKeys(SessionKeys keys) { channel_.emplace(std::move(keys)); }

const Bytes& QuickShareConnection::authString() const {
    static const Bytes none;
    return channel_ ? channel_->keys().authString : none;
}

const std::string& QuickShareConnection::pin() const {
    static const std::string none;
    return channel_ ? channel_->keys().pin : none;
}

const SessionKeys& QuickShareConnection::keys() const {
    if (!channel_) throw std::logic_error("QuickShareConnection: no keys before the key exchange");
    return channel_->keys();
}

SecureChannel& QuickShareConnection::channel() {
    if (!channel_) throw std::logic_error("QuickShareConnection: no keys before the key exchange");
    return *channel_;
}

// --- Secure messages ---

Bytes QuickShareConnection::seal(const OfflineFrame& frame) {
    // Only small frames come this way; chunks are sealed from their pieces.
    const Bytes encoded = proto::encode(frame);
    const ByteView piece(encoded);
    return seal(std::span<const ByteView>(&piece, 1));
}

Bytes QuickShareConnection::seal(std::span<const ByteView> framePieces) {
    SecureChannel& secure = channel();
    if (secure.sendSequence() == std::numeric_limits<std::int32_t>::max()) {
        // No number is left: the connection cannot go on, and no number is ever reused.
        stream_->close();
    }
    // The buffer of the frame written last, so a stream of chunks reuses one block. Its size
    // is kept where it is large enough: growing a vector zero-fills, and sealing overwrites.
    Bytes sealed = writes_->takeSpare();
    if (sealed.size() < frame_codec::prefixLength) sealed.resize(frame_codec::prefixLength);
    secure.sealInto(framePieces, *random_, sealed, frame_codec::prefixLength);
    frame_codec::setPrefix(sealed);
    return sealed;
}

asio::awaitable<void> QuickShareConnection::sendEncrypted(OfflineFrame frame) {
    // Numbering and queueing happen in one step, so frames reach the wire in number order.
    co_await writes_->write(seal(frame));
}

asio::awaitable<QuickShareConnection::OfflineFrame> QuickShareConnection::readEncrypted() {
    OfflineFrame frame;
    co_await readEncryptedInto(frame);
    co_return frame;
}

asio::awaitable<void> QuickShareConnection::readEncryptedInto(OfflineFrame& frame) {
    co_await stream_->readExactlyInto(readPrefix_);
    const std::uint32_t length = frame_codec::bodyLength(readPrefix_);
    if (readBody_.size() < length) readBody_.resize(length);
    const std::span<std::uint8_t> body = std::span<std::uint8_t>(readBody_).first(length);
    co_await stream_->readExactlyInto(body);
    channel().openInto(body, frame);
}

// --- Incoming frames ---

void QuickShareConnection::setFileSink(FileSink sink) {
    if (closed_) throw QuickShareError::disconnected();
    fileSink_ = std::move(sink);
}

std::shared_ptr<FrameStream> QuickShareConnection::incomingFrames() {
    if (readerStarted_) throw std::logic_error("QuickShareConnection: incomingFrames called twice");
    readerStarted_ = true;
    frames_ = std::make_shared<FrameStream>(executor());
    auto self = shared_from_this();
    asio::co_spawn(executor(), [self] { return self->readLoop(); }, asio::detached);
    asio::co_spawn(executor(), [self] { return self->keepAliveLoop(); }, asio::detached);
    return frames_;
}

asio::awaitable<void> QuickShareConnection::readLoop() {
    OfflineFrame frame;  // reused, so large chunk bodies keep their storage
    for (;;) {
        if (readerCancelled_) co_return;
        bool goOn = false;
        try {
            co_await readEncryptedInto(frame);
            goOn = co_await dispatch(frame);
        } catch (...) {
            endWith(std::current_exception());
            co_return;
        }
        if (!goOn) co_return;
    }
}

asio::awaitable<bool> QuickShareConnection::dispatch(const OfflineFrame& frame) {
    const auto& v1 = frame.v1();
    if (v1.type() == nc::V1Frame::DISCONNECTION) {
        if (frames_) {
            frames_->finish(closed_ ? nullptr
                                    : std::make_exception_ptr(QuickShareError::disconnected()));
        }
        close();
        co_return false;
    }
    if (v1.type() != nc::V1Frame::PAYLOAD_TRANSFER) co_return true;  // keep-alives included

    const auto& transfer = v1.payload_transfer();
    if (transfer.packet_type() == PayloadTransfer::CONTROL) {
        if (transfer.control_message().event() == PayloadTransfer::ControlMessage::PAYLOAD_CANCELED) {
            throw QuickShareError::cancelledByPhone();
        }
        co_return true;
    }
    if (transfer.packet_type() != PayloadTransfer::DATA) co_return true;

    const auto& header = transfer.payload_header();
    const auto& chunk = transfer.payload_chunk();
    const bool last = chunk.has_flags() && (chunk.flags() & PayloadTransfer::PayloadChunk::LAST_CHUNK);
    switch (header.type()) {
    case PayloadTransfer::PayloadHeader::FILE: {
        if (!fileSink_) throw QuickShareError::protocolError("file payload before acceptance");
        // A copy, so replacing or removing the sink cannot destroy it while it runs.
        const FileSink sink = fileSink_;
        co_await sink(header.id(), chunk.offset(), asBytes(chunk.body()), last);
        co_return true;
    }
    case PayloadTransfer::PayloadHeader::BYTES: {
        std::optional<Bytes> whole =
            assembler_.add(header.id(), header.total_size(), chunk.offset(), asBytes(chunk.body()), last);
        if (!whole || !frames_) co_return true;
        switch (frames_->push(proto::decode<SharingFrame>(*whole))) {
        case FrameStream::Push::queued:
            co_return true;
        case FrameStream::Push::full:
            throw QuickShareError::protocolError("too many queued messages");
        case FrameStream::Push::stopped:
            close();
            co_return false;
        }
        throw QuickShareError::protocolError("message queue failed");
    }
    default:
        co_return true;
    }
}

void QuickShareConnection::endWith(std::exception_ptr error) {
    // A failure after a local close is how a closed connection ends, not an error.
    if (frames_) frames_->finish(closed_ ? nullptr : std::move(error));
    close();
}

asio::awaitable<void> QuickShareConnection::keepAliveLoop() {
    if (timeouts_.keepAlive <= std::chrono::steady_clock::duration::zero()) co_return;
    for (;;) {
        if (keepAliveCancelled_) co_return;
        keepAliveTimer_.expires_after(timeouts_.keepAlive);
        std::error_code ignored;
        co_await keepAliveTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        if (keepAliveCancelled_) co_return;
        auto frame = connectionFrame(nc::V1Frame::KEEP_ALIVE);
        frame.mutable_v1()->mutable_keep_alive()->set_ack(false);
        try {
            co_await sendEncrypted(std::move(frame));
        } catch (...) {
            // A lost keep-alive is not a failure of its own; the reader notices a dead link.
        }
    }
}

// --- Outgoing frames and closing ---

asio::awaitable<void> QuickShareConnection::sendFrame(SharingFrame frame) {
    const Bytes body = proto::encode(frame);
    const std::int64_t payloadId = random_->uniform(1, std::numeric_limits<std::int64_t>::max());
    const auto size = static_cast<std::int64_t>(body.size());
    co_await sendPayloadChunk(payloadId, PayloadTransfer::PayloadHeader::BYTES, size, 0, body, false);
    co_await sendPayloadChunk(payloadId, PayloadTransfer::PayloadHeader::BYTES, size, size, {}, true);
}

asio::awaitable<void> QuickShareConnection::sendPayloadChunk(std::int64_t payloadId,
                                                             PayloadType type,
                                                             std::int64_t totalSize,
                                                             std::int64_t offset, ByteView body,
                                                             bool last) {
    // Sealed before the first suspension: the body is encrypted where it lies.
    const PayloadChunkHead head(payloadId, type, totalSize, offset, body.size(), last);
    const std::array<ByteView, 2> pieces{head.bytes(), body};
    co_await writes_->write(seal(pieces));
}

asio::awaitable<void> QuickShareConnection::sendDisconnection(std::chrono::steady_clock::duration grace) {
    if (closed_) co_return;
    // Closed first: the phone's answer (its own disconnection, or the link going down) is
    // then a normal end of the frame stream.
    closed_ = true;
    try {
        co_await sendEncrypted(connectionFrame(nc::V1Frame::DISCONNECTION));
    } catch (...) {
        // Goodbye is best effort.
    }
    // A phone still sending when we stop would get a reset for its unread data, and a reset
    // loses our last frames on its side: it reads a lost connection instead of our goodbye.
    if (grace > std::chrono::steady_clock::duration::zero()) co_await stream_->closeAfter(grace);
    close();
}

void QuickShareConnection::close() {
    closed_ = true;
    keepAliveCancelled_ = true;
    keepAliveTimer_.cancel();
    readerCancelled_ = true;
    if (frames_) frames_->finish(nullptr);
    assembler_.clear();
    fileSink_ = nullptr;
    stream_->close();
}

}  // namespace velmo
