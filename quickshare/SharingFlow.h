// What the receive and send flows share: one connection on the transfer's strand, its frame
// inbox, the steps both take, the answer to a cancellation and the way out after a failure.
#pragma once
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Bytes.h"
#include "platform/CancelSignal.h"
#include "proto/sharing.pb.h"
#include "quickshare/ConnectionTimeouts.h"

namespace velmo {

class ByteStream;
class FrameInbox;
class PendingAnswer;
class QuickShareConnection;
class RandomSource;

class SharingFlow : public std::enable_shared_from_this<SharingFlow> {
public:
    using Frame = nearby::sharing::service::proto::Frame;
    using FrameType = nearby::sharing::service::proto::V1Frame::FrameType;
    using Duration = std::chrono::steady_clock::duration;

    // Call create() and everything else on the stream's strand.
    static std::shared_ptr<SharingFlow> create(std::shared_ptr<ByteStream> stream, CancelSignal cancel,
                                               ConnectionTimeouts connectionTimeouts, Duration cancelGrace);
    ~SharingFlow();

    QuickShareConnection& connection() { return *connection_; }
    const std::shared_ptr<QuickShareConnection>& sharedConnection() const { return connection_; }
    FrameInbox& inbox() { return *inbox_; }
    const std::shared_ptr<FrameInbox>& sharedInbox() const { return inbox_; }
    RandomSource& random();

    // Starts a NetworkStream within `limit`; any other stream is taken as started.
    asio::awaitable<void> startStreamIfNeeded(Duration limit);

    // Asks the connection for its frames and feeds them into a new inbox; a frame the inbox
    // refuses closes the connection.
    void openInbox();

    // The inbox's next frame within `limit`; a CANCEL frame becomes cancelledByPhone.
    asio::awaitable<Frame> nextFrame(Duration limit);

    // Asks the application and waits for its answer; a cancellation ends the wait at once.
    // With `onFrame`, the phone's frames are handed to it while the question is open, and an
    // error it throws (or the end of the phone's frames) ends the wait at once too. A wait
    // ended early drops the question: its late answer changes nothing.
    asio::awaitable<bool> ask(std::function<asio::awaitable<bool>()> question,
                              std::function<void(const Frame&)> onFrame = nullptr);

    // Runs on the strand when the flow is cancelled, after the flow's own reaction.
    void onCancelled(std::function<void()> action) { cancelActions_.push_back(std::move(action)); }

    bool cancelled() const { return cancelled_; }
    // Throws Cancelled once the flow's signal is set.
    void throwIfCancelled() const;

    // The way out after `error`: a cancellation is answered with a CANCEL frame and a
    // disconnection frame; anything else closes the connection, after a CANCEL frame when
    // `tellPhone` is set (our own failure after the files were accepted), silently otherwise.
    // Then throws Cancelled or `error`.
    asio::awaitable<void> failWith(std::exception_ptr error, bool tellPhone = false);

    // Ends the flow normally after a disconnection frame.
    asio::awaitable<void> finishWithDisconnection();

    static FrameType typeOf(const Frame& frame) { return frame.v1().type(); }
    static Frame frameOf(FrameType type);
    // The paired-key frames carry random bytes: we hold no certificates.
    Frame pairedKeyEncryption(std::optional<Bytes> qrSignature);
    static Frame pairedKeyResult();

private:
    SharingFlow(std::shared_ptr<ByteStream> stream, CancelSignal cancel, ConnectionTimeouts timeouts,
                Duration cancelGrace);
    void handleCancel();
    asio::awaitable<void> watchUntilAnswered(PendingAnswer& answer, const std::function<void(const Frame&)>& onFrame);
    void stopWatching();
    // Sends a CANCEL frame; a phone that is gone already cannot hear it, which is fine.
    asio::awaitable<void> sayCancel();
    // What is left of the goodbye's grace since the cancellation.
    Duration graceLeft() const;

    std::shared_ptr<ByteStream> stream_;
    CancelSignal cancel_;
    std::shared_ptr<QuickShareConnection> connection_;
    std::shared_ptr<FrameInbox> inbox_;
    std::shared_ptr<PendingAnswer> answer_;
    CancelSignal::Registration registration_;
    asio::steady_timer graceTimer_;
    Duration cancelGrace_;
    std::optional<std::chrono::steady_clock::time_point> graceEnds_;
    std::vector<std::function<void()>> cancelActions_;
    bool cancelled_ = false;
    bool ended_ = false;
};

}  // namespace velmo
