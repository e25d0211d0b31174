// A phone under the test's control, on the far end of a stream: it runs a real handshake in
// either role and then sends and expects sharing frames and file chunks as the test says,
// well-behaved or not.
#pragma once
#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "proto/sharing.pb.h"
#include "quickshare/ConnectionTimeouts.h"
#include "transfer/ByteStream.h"

namespace velmo {
class FrameInbox;
class QuickShareConnection;
}  // namespace velmo

namespace velmo::test {

class ScriptedPhone {
public:
    using Frame = nearby::sharing::service::proto::Frame;
    using FrameType = nearby::sharing::service::proto::V1Frame::FrameType;
    using ResponseStatus = nearby::sharing::service::proto::ConnectionResponseFrame::Status;

    struct OfferedFile {
        std::string name;
        std::int64_t payloadId;
        std::int64_t size;
    };

    struct ReceivedFile {
        Bytes body;
        bool last = false;
        int chunks = 0;
        bool inOrder = true;  // every chunk continued exactly where the previous one ended
    };

    // The phone sends to the computer: it opens the handshake as the client.
    static asio::awaitable<std::shared_ptr<ScriptedPhone>> connectAsSender(
        std::shared_ptr<ByteStream> stream, std::string name = "Pixel 8", ConnectionTimeouts timeouts = {});
    // The phone receives from the computer: it answers the handshake as the server and
    // keeps every FILE chunk it receives.
    static asio::awaitable<std::shared_ptr<ScriptedPhone>> acceptAsReceiver(
        std::shared_ptr<ByteStream> stream, ConnectionTimeouts timeouts = {});

    const std::string& pin() const { return pin_; }
    const std::string& peerName() const { return peerName_; }
    QuickShareConnection& connection() { return *connection_; }

    // The computer's next sharing frame; throws what the inbox throws.
    asio::awaitable<Frame> next(std::chrono::steady_clock::duration limit = std::chrono::seconds(5));
    // The next frame, which must be of `type` (a test failure otherwise).
    asio::awaitable<Frame> expect(FrameType type, std::chrono::steady_clock::duration limit = std::chrono::seconds(5));
    // True when the computer ends the connection (normally or not) within `limit` without
    // another sharing frame.
    asio::awaitable<bool> expectEnd(std::chrono::steady_clock::duration limit = std::chrono::seconds(5));

    asio::awaitable<void> send(const Frame& frame);
    asio::awaitable<void> sendType(FrameType type);
    // The two paired-key frames a phone sends (contents unexamined by the computer).
    asio::awaitable<void> sendPairedKeys();
    asio::awaitable<void> sendIntroduction(const std::vector<OfferedFile>& files);
    asio::awaitable<void> sendResponse(ResponseStatus status);
    asio::awaitable<void> sendChunk(std::int64_t payloadId, std::int64_t totalSize, std::int64_t offset,
                                    const Bytes& body, bool last);
    // A whole file: chunks of `chunkSize` then the empty last chunk.
    asio::awaitable<void> sendFile(std::int64_t payloadId, const Bytes& body, std::size_t chunkSize = 1000);
    // The control message that cancels one payload (a connection frame, not a sharing frame).
    asio::awaitable<void> sendPayloadCancel(std::int64_t payloadId);
    asio::awaitable<void> disconnect();
    void close();

    // The receiving phone's side of the negotiation up to the computer's introduction
    // (returned): the paired-key frames both ways.
    asio::awaitable<nearby::sharing::service::proto::IntroductionFrame> expectIntroduction();
    // The same, then the answer `status`.
    asio::awaitable<nearby::sharing::service::proto::IntroductionFrame> negotiateAsReceiver(ResponseStatus status);

    const std::map<std::int64_t, ReceivedFile>& files() const { return files_; }
    // Runs after each FILE chunk is kept, before the phone reads on.
    std::function<asio::awaitable<void>(std::int64_t payloadId, bool last)> afterChunk;

    static Frame frameOf(FrameType type);
    static nearby::sharing::service::proto::IntroductionFrame introductionOf(const std::vector<OfferedFile>& files);

private:
    explicit ScriptedPhone(std::shared_ptr<QuickShareConnection> connection);
    void openInbox();

    std::shared_ptr<QuickShareConnection> connection_;
    std::shared_ptr<FrameInbox> inbox_;
    std::map<std::int64_t, ReceivedFile> files_;
    std::string pin_;
    std::string peerName_;
};

}  // namespace velmo::test
