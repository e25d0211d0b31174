// The encrypted link to one phone for the length of one transfer. Everything it does runs
// on the strand of its byte stream: call every operation from a coroutine running there.
//
// Life of a connection: the handshake (in either role) exchanges clear-text frames with
// readFrame/writeFrame and then installs the keys with deriveKeys; from then on every
// connection frame is a secure message. A flow asks once for incomingFrames (which starts
// the reader and keep-alive tasks), sends sharing frames and file chunks, and ends with
// sendDisconnection or close.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/RandomSource.h"
#include "proto/connections.pb.h"
#include "proto/sharing.pb.h"
#include "quickshare/ConnectionTimeouts.h"
#include "quickshare/FrameStream.h"
#include "quickshare/KeySchedule.h"
#include "quickshare/PayloadAssembler.h"
#include "quickshare/SecureChannel.h"
#include "transfer/ByteStream.h"

namespace velmo {

class WriteQueue;

class QuickShareConnection : public std::enable_shared_from_this<QuickShareConnection> {
public:
    using OfflineFrame = location::nearby::connections::OfflineFrame;
    using SharingFrame = nearby::sharing::service::proto::Frame;
    using PayloadType = location::nearby::connections::PayloadTransferFrame::PayloadHeader::PayloadType;
    // Receives the chunks of FILE payloads: (payload id, offset, body, last chunk). The
    // reader reads nothing more until the returned awaitable completes. The body stays
    // valid until then.
    using FileSink = std::function<asio::awaitable<void>(std::int64_t payloadId, std::int64_t offset,
                                                         ByteView body, bool last)>;

    // Largest chunk of a file payload.
    static constexpr std::size_t fileChunkSize = 524288;

    // Wraps `stream` (started or not); reads and writes nothing yet.
    static std::shared_ptr<QuickShareConnection> create(
        std::shared_ptr<ByteStream> stream, ConnectionTimeouts timeouts = {},
        std::shared_ptr<RandomSource> random = RandomSource::system());

    asio::any_io_executor executor() const { return stream_->executor(); }
    RandomSource& random() { return *random_; }
    const ConnectionTimeouts& timeouts() const { return timeouts_; }

    // --- Clear-text frames (the handshake) ---

    // One frame's body. Throws the stream's error, or QuickShareError::protocolError for a
    // length of 0 or above 32,768, the cap of frames before the secure channel (the body is
    // then left unread).
    asio::awaitable<Bytes> readFrame();

    // Queues one frame (the length prefix is added here) and waits until the stream took it.
    asio::awaitable<void> writeFrame(Bytes body);

    // --- Keys ---

    // Derives the authentication string, PIN and traffic keys from the 32-byte P-256 shared
    // secret and the exact CLIENT_INIT and SERVER_INIT frame bodies; `isClient` is true on
    // the side that sent the client init. Secure messages work from here on.
    void deriveKeys(ByteView sharedSecret, ByteView clientInit, ByteView serverInit, bool isClient);

    // Installs keys made elsewhere (tests, benchmarks).
    void installKeys(SessionKeys keys);

    bool hasKeys() const { return channel_.has_value(); }
    // Empty until the keys exist.
    const Bytes& authString() const;
    const std::string& pin() const;
    // Throws std::logic_error before the keys exist.
    const SessionKeys& keys() const;

    // --- Secure messages ---

    // Sends one connection frame as the next numbered secure message. Frames reach the wire
    // in the order of their numbers, whoever sends them. Frames are taken by value so a
    // temporary cannot dangle in a suspended coroutine.
    asio::awaitable<void> sendEncrypted(OfflineFrame frame);

    // Reads, checks and opens the next secure message.
    asio::awaitable<OfflineFrame> readEncrypted();

    // --- Incoming frames ---

    // Installs the consumer of FILE chunks, replacing any earlier one. Throws
    // QuickShareError::disconnected once the connection is closed.
    void setFileSink(FileSink sink);

    // Starts the reader and keep-alive tasks and returns the stream of sharing frames the
    // phone sends. Call once, after the handshake.
    std::shared_ptr<FrameStream> incomingFrames();

    // --- Outgoing frames and closing ---

    // Sends one sharing frame as a BYTES payload under a fresh payload id: the whole frame
    // in one chunk, then an empty last chunk.
    asio::awaitable<void> sendFrame(SharingFrame frame);

    // Sends one payload chunk; nothing is checked here. `body` must stay valid until the
    // returned awaitable completes.
    asio::awaitable<void> sendPayloadChunk(std::int64_t payloadId, PayloadType type,
                                           std::int64_t totalSize, std::int64_t offset,
                                           ByteView body, bool last);

    // Says goodbye once: marks the connection closed, sends the disconnection frame
    // (ignoring a failure) and closes. Never throws. With a `grace`, the phone first gets
    // that long to read our last frames and stop sending, while what it still sends is
    // dropped unread.
    asio::awaitable<void> sendDisconnection(std::chrono::steady_clock::duration grace = {});

    // Closes locally, any number of times: stops the keep-alive and the reader, ends the
    // frame stream normally, drops unfinished payloads and the file sink, closes the stream.
    // Frames still queued for writing are handed to the closed stream and fail there.
    void close();

    bool isClosed() const { return closed_; }

private:
    QuickShareConnection(std::shared_ptr<ByteStream> stream, ConnectionTimeouts timeouts,
                         std::shared_ptr<RandomSource> random);

    // The whole frame (length prefix included) carrying `frame` as the next secure message.
    Bytes seal(const OfflineFrame& frame);
    // The same for a frame given as its encoded pieces.
    Bytes seal(std::span<const ByteView> framePieces);
    asio::awaitable<void> readEncryptedInto(OfflineFrame& frame);
    asio::awaitable<void> readLoop();
    asio::awaitable<void> keepAliveLoop();
    // Handles one frame of the reader; false when the reader is done.
    asio::awaitable<bool> dispatch(const OfflineFrame& frame);
    void endWith(std::exception_ptr error);
    SecureChannel& channel();

    std::shared_ptr<ByteStream> stream_;
    ConnectionTimeouts timeouts_;
    std::shared_ptr<RandomSource> random_;
    std::shared_ptr<WriteQueue> writes_;
    std::optional<SecureChannel> channel_;
    PayloadAssembler assembler_;
    std::shared_ptr<FrameStream> frames_;
    // The reader's buffers; the body buffer only grows (up to the largest frame allowed), so
    // 512 KiB chunks are neither allocated nor zero-filled per frame.
    std::array<std::uint8_t, 4> readPrefix_{};
    Bytes readBody_;
    FileSink fileSink_;
    asio::steady_timer keepAliveTimer_;
    bool readerStarted_ = false;
    bool readerCancelled_ = false;
    bool keepAliveCancelled_ = false;
    bool closed_ = false;
};

}  // namespace velmo
