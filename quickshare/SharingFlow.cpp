#include "quickshare/SharingFlow.h"

#include <asio/post.hpp>

#include <algorithm>

#include "platform/Error.h"
#include "quickshare/FrameInbox.h"
#include "quickshare/PendingAnswer.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "transfer/NetworkStream.h"

namespace velmo {

namespace sharing = nearby::sharing::service::proto;

std::shared_ptr<SharingFlow> SharingFlow::create(std::shared_ptr<ByteStream> stream, CancelSignal cancel,
                                                 ConnectionTimeouts connectionTimeouts,
                                                 Duration cancelGrace) {
    auto flow = std::shared_ptr<SharingFlow>(
        new SharingFlow(std::move(stream), cancel, connectionTimeouts, cancelGrace));
    std::weak_ptr<SharingFlow> weak = flow;
    auto strand = flow->connection_->executor();
    flow->registration_ = cancel.onCancel([weak, strand] {
        // Any thread: the reaction itself runs on the transfer's strand.
        if (auto self = weak.lock()) asio::post(strand, [self] { self->handleCancel(); });
    });
    return flow;
}

SharingFlow::SharingFlow(std::shared_ptr<ByteStream> stream, CancelSignal cancel,
                         ConnectionTimeouts timeouts, Duration cancelGrace)
    : stream_(stream),
      cancel_(cancel),
      connection_(QuickShareConnection::create(stream, timeouts)),
      graceTimer_(stream->executor()),
      cancelGrace_(cancelGrace) {}

SharingFlow::~SharingFlow() = default;

RandomSource& SharingFlow::random() { return connection_->random(); }

asio::awaitable<void> SharingFlow::startStreamIfNeeded(Duration limit) {
    if (auto network = std::dynamic_pointer_cast<NetworkStream>(stream_)) {
        co_await network->start(std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    }
}

void SharingFlow::openInbox() {
    inbox_ = FrameInbox::create(connection_->executor());
    auto frames = connection_->incomingFrames();
    inbox_->pump([frames]() { return frames->next(); },
                 [connection = connection_] { connection->close(); });
}

asio::awaitable<SharingFlow::Frame> SharingFlow::nextFrame(Duration limit) {
    auto frame = co_await inbox_->next(limit);
    if (typeOf(frame) == sharing::V1Frame::CANCEL) throw QuickShareError::cancelledByPhone();
    co_return frame;
}

namespace {

// Wakes the flow's wait for the phone once the answer is in.
std::function<void()> interrupterOf(const std::shared_ptr<FrameInbox>& inbox) {
    std::weak_ptr<FrameInbox> weak = inbox;
    return [weak] {
        if (auto alive = weak.lock()) alive->interruptWait();
    };
}

}  // namespace

asio::awaitable<bool> SharingFlow::ask(std::function<asio::awaitable<bool>()> question,
                                       std::function<void(const Frame&)> onFrame) {
    throwIfCancelled();
    auto answer = PendingAnswer::create(connection_->executor());
    answer_ = answer;
    if (onFrame) answer->whenSettled(interrupterOf(inbox_));
    answer->ask(std::move(question));
    std::exception_ptr failure;
    try {
        if (onFrame) co_await watchUntilAnswered(*answer, onFrame);
        const bool result = co_await answer->wait();
        answer_.reset();
        co_return result;
    } catch (...) {
        failure = std::current_exception();
    }
    answer->fail(failure);  // settles it: the question's late answer is dropped
    answer_.reset();
    std::rethrow_exception(failure);
}

asio::awaitable<void> SharingFlow::watchUntilAnswered(PendingAnswer& answer,
                                                      const std::function<void(const Frame&)>& onFrame) {
    while (!answer.settled()) {
        std::optional<Frame> frame;
        try {
            frame = co_await inbox_->next(Duration::max());
        } catch (const QuickShareError& error) {
            // The answer's arrival interrupts the wait; that is no time limit running out.
            if (error.kind() != QuickShareError::Kind::timedOut || !answer.settled()) throw;
        }
        if (frame) onFrame(*frame);
    }
}

void SharingFlow::throwIfCancelled() const {
    if (cancelled_ || cancel_.isCancelled()) throw Cancelled();
}

void SharingFlow::handleCancel() {
    if (cancelled_ || ended_) return;
    cancelled_ = true;
    const auto error = std::make_exception_ptr(Cancelled());
    if (inbox_) {
        inbox_->fail(error);  // ends the wait for the phone's next frame
    } else {
        connection_->close();  // stream start and handshake end only by closing
    }
    if (answer_) answer_->fail(error);
    for (auto& action : cancelActions_) action();
    // The goodbye frames get a short while; a phone that stopped reading cannot hold us.
    graceEnds_ = std::chrono::steady_clock::now() + cancelGrace_;
    graceTimer_.expires_at(*graceEnds_);
    graceTimer_.async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec && !self->ended_) self->connection_->close();
    });
}

void SharingFlow::stopWatching() {
    ended_ = true;
    registration_ = {};
    graceTimer_.cancel();
}

asio::awaitable<void> SharingFlow::sayCancel() {
    try {
        co_await connection_->sendFrame(frameOf(sharing::V1Frame::CANCEL));
    } catch (...) {
    }
}

SharingFlow::Duration SharingFlow::graceLeft() const {
    if (!graceEnds_) return cancelGrace_;
    return std::max(Duration::zero(), *graceEnds_ - std::chrono::steady_clock::now());
}

asio::awaitable<void> SharingFlow::failWith(std::exception_ptr error, bool tellPhone) {
    bool cancellation = cancelled_ || cancel_.isCancelled();
    bool errorIsCancellation = false;
    try {
        std::rethrow_exception(error);
    } catch (const Cancelled&) {
        cancellation = errorIsCancellation = true;
    } catch (...) {
    }
    if (cancellation) {
        co_await sayCancel();
        // The flow ends only once the phone had its chance to read both frames, so a quit
        // that waits for the flow does not reset them away.
        co_await connection_->sendDisconnection(graceLeft());
        stopWatching();
        if (errorIsCancellation) std::rethrow_exception(error);
        throw Cancelled();
    }
    if (tellPhone) co_await sayCancel();
    connection_->close();
    stopWatching();
    std::rethrow_exception(error);
}

asio::awaitable<void> SharingFlow::finishWithDisconnection() {
    co_await connection_->sendDisconnection();
    stopWatching();
}

SharingFlow::Frame SharingFlow::frameOf(FrameType type) {
    Frame frame;
    frame.set_version(sharing::Frame::V1);
    frame.mutable_v1()->set_type(type);
    return frame;
}

SharingFlow::Frame SharingFlow::pairedKeyEncryption(std::optional<Bytes> qrSignature) {
    auto frame = frameOf(sharing::V1Frame::PAIRED_KEY_ENCRYPTION);
    auto* body = frame.mutable_v1()->mutable_paired_key_encryption();
    const auto secretIdHash = random().bytes(6);
    const auto signedData = random().bytes(72);
    body->set_secret_id_hash(secretIdHash.data(), secretIdHash.size());
    body->set_signed_data(signedData.data(), signedData.size());
    if (qrSignature) body->set_qr_code_handshake_data(qrSignature->data(), qrSignature->size());
    return frame;
}

SharingFlow::Frame SharingFlow::pairedKeyResult() {
    auto frame = frameOf(sharing::V1Frame::PAIRED_KEY_RESULT);
    frame.mutable_v1()->mutable_paired_key_result()->set_status(sharing::PairedKeyResultFrame::UNABLE);
    return frame;
}

}  // namespace velmo
