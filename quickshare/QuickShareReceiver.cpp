#include "quickshare/QuickShareReceiver.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/Error.h"
#include "quickshare/FrameInbox.h"
#include "quickshare/IncomingFiles.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiveAuthorization.h"
#include "quickshare/SharingFlow.h"
#include "quickshare/Ukey2ServerHandshake.h"
#include "transfer/ByteStream.h"
#include "transfer/FileNaming.h"

namespace velmo {

namespace {

namespace sharing = nearby::sharing::service::proto;
using Frame = SharingFlow::Frame;
using Paths = std::vector<std::filesystem::path>;
using Clock = std::chrono::steady_clock;

// The next frame of `type`; frames of other types are skipped, each restarting the limit.
asio::awaitable<Frame> awaitFrame(SharingFlow& flow, SharingFlow::FrameType type, Clock::duration limit) {
    for (;;) {
        auto frame = co_await flow.nextFrame(limit);
        if (SharingFlow::typeOf(frame) == type) co_return frame;
    }
}

asio::awaitable<void> sendResponse(SharingFlow& flow, sharing::ConnectionResponseFrame::Status status) {
    auto frame = SharingFlow::frameOf(sharing::V1Frame::RESPONSE);
    frame.mutable_v1()->mutable_connection_response()->set_status(status);
    co_await flow.connection().sendFrame(frame);
}

// Watches the phone during the file phase: its CANCEL, the end of its frames, or a silence
// longer than the limit end the transfer. File chunks count as activity as much as frames,
// so a healthy transfer may take longer than the limit.
asio::awaitable<void> watchFilePhase(std::shared_ptr<FrameInbox> inbox, std::shared_ptr<IncomingFiles> files,
                                     Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        std::exception_ptr failure;
        try {
            auto frame = co_await inbox->next(deadline - Clock::now());
            if (SharingFlow::typeOf(frame) == sharing::V1Frame::CANCEL) {
                files->fail(std::make_exception_ptr(QuickShareError::cancelledByPhone()));
                co_return;
            }
            deadline = Clock::now() + limit;
            continue;
        } catch (const QuickShareError& error) {
            if (error.kind() == QuickShareError::Kind::timedOut) {
                const auto last = files->lastActivity();
                if (last && *last + limit > Clock::now()) {
                    deadline = *last + limit;
                    continue;
                }
            }
            failure = std::current_exception();
        } catch (...) {
            failure = std::current_exception();
        }
        files->fail(failure);
        co_return;
    }
}

// A chunk that cannot be written (disk full, session revoked, a chunk out of place) fails
// the files and so the flow, which tells the phone before it closes. The connection's reader
// goes on meanwhile and drops what still comes: failing it would close the connection first.
asio::awaitable<void> writeChunk(std::shared_ptr<IncomingFiles> files, std::shared_ptr<bool> failedHere,
                                 std::int64_t payloadId, std::int64_t offset, ByteView body, bool last) {
    const bool failedBefore = files->failed();
    try {
        files->write(payloadId, offset, body, last);
    } catch (...) {
        if (!failedBefore) *failedHere = true;
        files->fail(std::current_exception());
    }
    co_return;
}

QuickShareOffer makeOffer(const ServerHandshakeResult& peer, const FileMetadataList& offered) {
    QuickShareOffer offer;
    offer.senderName = peer.peerName;
    offer.pin = peer.pin;
    for (const auto& file : offered) {
        offer.files.push_back(QuickShareOffer::File{FileNaming::safeName(file.name()), file.size()});
    }
    return offer;
}

struct ReceiveRun {
    std::shared_ptr<ByteStream> stream;
    std::filesystem::path folder;
    std::shared_ptr<QuickShareReceiveAuthorization> authorization;
    QuickShareReceiver::Decide decide;
    QuickShareReceiver::Progress progress;
    CancelSignal cancel;
    QuickShareReceiver::Timeouts timeouts;
    QuickShareReceiver::Saved saved;

    // Set when preparing or writing the files failed here after the user accepted, rather
    // than the phone cancelling, leaving or breaking the connection.
    std::shared_ptr<bool> failedHere = std::make_shared<bool>(false);

    // Built outside the coroutines: GCC 12 mishandles some captures made inside one.
    std::function<asio::awaitable<bool>()> question(QuickShareOffer offer) const {
        return [decide = decide, offer = std::move(offer)] { return decide(offer); };
    }

    // The phone's frames while the user decides. Nothing is due from it then: its CANCEL ends
    // the question, and more unasked frames than the inbox would hold are a flood.
    static std::function<void(const Frame&)> whileAsked() {
        return [unasked = std::make_shared<std::size_t>(0)](const Frame& frame) {
            if (SharingFlow::typeOf(frame) == sharing::V1Frame::CANCEL) throw QuickShareError::cancelledByPhone();
            if (++*unasked > FrameInbox::capacity) {
                throw QuickShareError::protocolError("too many queued negotiation messages");
            }
        };
    }

    asio::awaitable<Paths> run() {
        auto flow = SharingFlow::create(stream, cancel, timeouts.connection, timeouts.cancelGrace);
        auto files = IncomingFiles::create(stream->executor(), folder, authorization, progress, saved);
        flow->onCancelled([files] { files->fail(std::make_exception_ptr(Cancelled())); });
        std::exception_ptr failure;
        try {
            co_return co_await exchange(*flow, files);
        } catch (...) {
            failure = std::current_exception();
        }
        files->abort();
        // After the user accepted, a failure of our own is no reason for the phone to think
        // the files arrived: it hears a CANCEL.
        co_await flow->failWith(failure, *failedHere);
        co_return Paths{};  // not reached: failWith always throws
    }

    asio::awaitable<Paths> exchange(SharingFlow& flow, const std::shared_ptr<IncomingFiles>& files) {
        co_await flow.startStreamIfNeeded(timeouts.streamStart);
        const auto peer = co_await serverHandshakeWithTimeout(flow.sharedConnection(),
                                                              HandshakeTimeouts{timeouts.handshake});

        flow.openInbox();
        co_await flow.connection().sendFrame(flow.pairedKeyEncryption(std::nullopt));
        co_await awaitFrame(flow, sharing::V1Frame::PAIRED_KEY_ENCRYPTION, timeouts.pairedKeyEncryption);
        co_await flow.connection().sendFrame(SharingFlow::pairedKeyResult());
        co_await awaitFrame(flow, sharing::V1Frame::PAIRED_KEY_RESULT, timeouts.pairedKeyResult);
        const auto introduction =
            co_await awaitFrame(flow, sharing::V1Frame::INTRODUCTION, timeouts.introduction);

        const auto& offered = introduction.v1().introduction().file_metadata();
        if (offered.empty()) {
            co_await sendResponse(flow, sharing::ConnectionResponseFrame::UNSUPPORTED_ATTACHMENT_TYPE);
            co_await flow.connection().sendDisconnection();
            throw QuickShareError::unsupported();
        }
        validateFiles(offered);

        // The phone is watched while the user decides: its CANCEL or its leaving ends the
        // question at once (the prompt goes), rather than an answer meeting a closed connection.
        const bool accepted = co_await flow.ask(question(makeOffer(peer, offered)), whileAsked());
        if (!accepted) {
            try {
                co_await sendResponse(flow, sharing::ConnectionResponseFrame::REJECT);
            } catch (...) {
                // Declining still ends with the disconnection frame below.
            }
            co_await flow.finishWithDisconnection();
            files->abort();
            co_return Paths{};
        }

        flow.throwIfCancelled();
        try {
            files->prepare(offered);
        } catch (...) {
            *failedHere = true;
            throw;
        }
        flow.connection().setFileSink(
            [files, failedHere = failedHere](std::int64_t payloadId, std::int64_t offset, ByteView body, bool last) {
                return writeChunk(files, failedHere, payloadId, offset, body, last);
            });
        co_await sendResponse(flow, sharing::ConnectionResponseFrame::ACCEPT);

        asio::co_spawn(flow.connection().executor(),
                       watchFilePhase(flow.sharedInbox(), files, timeouts.filePhase), asio::detached);
        auto saved = co_await files->waitUntilDone();
        co_await flow.finishWithDisconnection();
        co_return saved;
    }
};

}  // namespace

asio::awaitable<std::vector<std::filesystem::path>> QuickShareReceiver::receive(
    std::shared_ptr<ByteStream> stream, std::filesystem::path folder,
    std::shared_ptr<QuickShareReceiveAuthorization> authorization, Decide decide, Progress progress,
    CancelSignal cancel, Timeouts timeouts, Saved saved) {
    auto run = std::make_shared<ReceiveRun>(ReceiveRun{stream, std::move(folder), std::move(authorization),
                                                       std::move(decide), std::move(progress), cancel,
                                                       timeouts, std::move(saved)});
    // The whole transfer runs on the stream's strand, beside its connection. (The lambda is
    // named: GCC 12 destroys a capturing lambda temporary twice in a co_await expression.)
    auto transfer = [run]() { return run->run(); };
    co_return co_await asio::co_spawn(stream->executor(), std::move(transfer), asio::use_awaitable);
}

}  // namespace velmo
