#include "quickshare/QuickShareSender.h"

#include <sys/stat.h>

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <limits>
#include <system_error>

#include "platform/ContentType.h"
#include "platform/Error.h"
#include "platform/RandomSource.h"
#include "quickshare/ChunkReadAhead.h"
#include "quickshare/EndpointInfo.h"
#include "quickshare/FrameInbox.h"
#include "quickshare/QuickShareConnection.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/SharingFlow.h"
#include "quickshare/SourceFile.h"
#include "quickshare/Ukey2ClientHandshake.h"
#include "transfer/ByteStream.h"
#include "transfer/FileError.h"
#include "transfer/FileNaming.h"

namespace velmo {

namespace {

namespace sharing = nearby::sharing::service::proto;
using Frame = SharingFlow::Frame;
constexpr auto fileType = location::nearby::connections::PayloadTransferFrame::PayloadHeader::FILE;

struct Entry {
    std::filesystem::path path;
    sharing::FileMetadata meta;
    SourceFile::Snapshot described;  // what was announced: only this file's bytes are sent
};

std::string lastComponent(const std::filesystem::path& path) {
    auto name = path.filename();
    if (name.empty()) name = path.parent_path().filename();  // "folder/" names the folder
    return name.string();
}

sharing::FileMetadata::Type typeFor(const ContentType& content) {
    using Category = ContentType::Category;
    if (content.conformsTo(Category::image)) return sharing::FileMetadata::IMAGE;
    if (content.conformsTo(Category::movie)) return sharing::FileMetadata::VIDEO;
    if (content.conformsTo(Category::audio)) return sharing::FileMetadata::AUDIO;
    if (content.conformsTo(Category::vCard)) return sharing::FileMetadata::CONTACT_CARD;
    for (auto category : {Category::pdf, Category::text, Category::presentation, Category::spreadsheet}) {
        if (content.conformsTo(category)) return sharing::FileMetadata::DOCUMENT;
    }
    return sharing::FileMetadata::UNKNOWN;
}

// Describes one file. Only regular files can be sent: a FIFO or a device would block the
// transfer for ever or never end.
Entry makeEntry(const std::filesystem::path& path, RandomSource& random) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw FileError::reading(path, errno);  // follows links
    if (S_ISDIR(info.st_mode)) throw QuickShareError::protocolError(lastComponent(path) + " is a folder");
    if (!S_ISREG(info.st_mode)) throw FileError::notRegular(path);
    const auto content = ContentType::forFileName(lastComponent(path));
    const auto maxId = std::numeric_limits<std::int64_t>::max();

    Entry entry{path, {}, SourceFile::Snapshot::of(info)};
    entry.meta.set_name(FileNaming::safeName(lastComponent(path)));
    entry.meta.set_type(typeFor(content));
    entry.meta.set_payload_id(random.uniform(1, maxId));
    entry.meta.set_size(entry.described.size);
    entry.meta.set_mime_type(content.mimeType().value_or("application/octet-stream"));
    entry.meta.set_id(random.uniform(1, maxId));
    return entry;
}

struct SendRun {
    std::vector<Entry> entries;
    std::shared_ptr<ByteStream> stream;
    std::string senderName;
    std::optional<QRCodeSession> qr;
    QuickShareSender::ConfirmPeer confirmPeer;
    QuickShareSender::StatusCallback status;
    QuickShareSender::Progress progress;
    CancelSignal cancel;
    QuickShareSender::Timeouts timeouts;
    bool accepted = false;  // the phone's ACCEPT came while the codes were compared

    // This computer as the phone sees it.
    EndpointInfo describeSelf() const {
        EndpointInfo info;
        info.deviceType = EndpointInfo::DeviceType::laptop;
        info.name = senderName;
        return info;
    }

    void report(const QuickShareSender::Status& value) const {
        if (status) status(value);
    }

    asio::awaitable<void> run() {
        report(QuickShareSender::Status::connecting());
        auto flow = SharingFlow::create(stream, cancel, timeouts.connection, timeouts.cancelGrace);
        std::exception_ptr failure;
        try {
            co_await exchange(*flow);
            co_return;
        } catch (...) {
            failure = std::current_exception();
        }
        co_await flow->failWith(failure);
    }

    asio::awaitable<void> exchange(SharingFlow& flow) {
        co_await flow.startStreamIfNeeded(timeouts.streamStart);
        const auto pin = co_await clientHandshakeWithTimeout(flow.sharedConnection(), describeSelf(), senderName,
                                                             HandshakeTimeouts{timeouts.handshake});
        flow.openInbox();
        co_await exchangePairedKeys(flow);
        co_await introduceFiles(flow);
        report(QuickShareSender::Status::waitingForAccept(pin));
        if (confirmPeer) co_await confirm(flow, pin);
        flow.throwIfCancelled();
        co_await awaitAcceptance(flow);

        report(QuickShareSender::Status::sending());
        co_await sendFiles(flow);
        co_await awaitLastWord(flow);
        co_await flow.finishWithDisconnection();
    }

    asio::awaitable<void> exchangePairedKeys(SharingFlow& flow) {
        std::optional<Bytes> signature;
        if (qr) signature = qr->signingKey().sign(flow.connection().authString());
        co_await flow.connection().sendFrame(flow.pairedKeyEncryption(signature));
        auto frame = co_await flow.nextFrame(timeouts.pairedKeyEncryption);
        if (SharingFlow::typeOf(frame) != sharing::V1Frame::PAIRED_KEY_ENCRYPTION) {
            throw QuickShareError::protocolError("expected paired key encryption");
        }
        co_await flow.connection().sendFrame(SharingFlow::pairedKeyResult());
        frame = co_await flow.nextFrame(timeouts.pairedKeyResult);
        if (SharingFlow::typeOf(frame) != sharing::V1Frame::PAIRED_KEY_RESULT) {
            throw QuickShareError::protocolError("expected paired key result");
        }
    }

    asio::awaitable<void> introduceFiles(SharingFlow& flow) {
        auto introduction = SharingFlow::frameOf(sharing::V1Frame::INTRODUCTION);
        for (const auto& entry : entries) {
            *introduction.mutable_v1()->mutable_introduction()->add_file_metadata() = entry.meta;
        }
        co_await flow.connection().sendFrame(introduction);
    }

    // Built outside the coroutines: GCC 12 mishandles some captures made inside one.
    std::function<asio::awaitable<bool>()> question(std::string pin) const {
        return [confirm = confirmPeer, pin = std::move(pin)] { return confirm(pin); };
    }

    // While the codes are compared the phone may answer already: its ACCEPT is kept for
    // later, its refusal or CANCEL ends the send at once. Built outside the coroutines too.
    std::function<void(const Frame&)> heedDuringQuestion() {
        return [this](const Frame& frame) {
            if (SharingFlow::typeOf(frame) == sharing::V1Frame::CANCEL) throw QuickShareError::cancelledByPhone();
            if (!accepted) accepted = answerIn(frame);
        };
    }

    // A PIN the user says does not match cancels the send. The phone is watched meanwhile, so
    // what it does ends the send without waiting for the user; the question is then dropped.
    asio::awaitable<void> confirm(SharingFlow& flow, std::string pin) {
        bool matches = false;
        try {
            matches = co_await flow.ask(question(pin), heedDuringQuestion());
        } catch (const QuickShareError& error) {
            // A phone that goes away before it answered counts as nobody answering.
            if (error.kind() == QuickShareError::Kind::disconnected && !accepted) throw QuickShareError::timedOut();
            throw;
        }
        if (!matches) throw Cancelled();
    }

    // The phone's frames that came in while the files go out, taken without waiting: a CANCEL,
    // or the error that ended its frames (a payload cancel among them), ends the send. Other
    // frames change nothing now.
    static void checkOnPhone(SharingFlow& flow) {
        while (auto frame = flow.inbox().poll()) {
            if (SharingFlow::typeOf(*frame) == sharing::V1Frame::CANCEL) throw QuickShareError::cancelledByPhone();
        }
    }

    // The phone's last word, after the final chunk or after a chunk that could not be sent:
    // its frames for timeouts.lastWord, skipping what does not matter, until it says goodbye
    // or its frames end. A CANCEL, also one that came during the chunks or after other frames,
    // or a payload cancel means it did not keep the files. A disconnection frame, a connection
    // closed without a word, or silence until the limit leaves the send a success.
    asio::awaitable<void> awaitLastWord(SharingFlow& flow) {
        const auto deadline = std::chrono::steady_clock::now() + timeouts.lastWord;
        try {
            for (;;) {
                const auto left = deadline - std::chrono::steady_clock::now();
                if (left <= std::chrono::steady_clock::duration::zero()) {
                    checkOnPhone(flow);  // what came in by the deadline still counts
                    co_return;
                }
                co_await flow.nextFrame(left);
            }
        } catch (const QuickShareError& error) {
            if (error.kind() == QuickShareError::Kind::cancelledByPhone) throw;
        } catch (...) {
        }
    }

    // A phone that cancelled and then went away broke the connection under the write: when a
    // chunk cannot be sent and its CANCEL is still on its way in, that is the error. The
    // frames end soon after a broken connection.
    asio::awaitable<void> sendChunk(SharingFlow& flow, const Entry& entry, std::int64_t offset, ByteView body,
                                    bool last) {
        checkOnPhone(flow);
        std::exception_ptr failure;
        try {
            co_await flow.connection().sendPayloadChunk(entry.meta.payload_id(), fileType, entry.meta.size(), offset,
                                                        body, last);
            co_return;
        } catch (...) {
            failure = std::current_exception();
        }
        co_await awaitLastWord(flow);
        std::rethrow_exception(failure);
    }

    // One of the phone's frames while its answer is awaited: true for its ACCEPT. A CANCEL or
    // any other answer ends the send with its error; other frames change nothing.
    static bool answerIn(const Frame& frame) {
        const auto type = SharingFlow::typeOf(frame);
        if (type == sharing::V1Frame::CANCEL) throw QuickShareError::cancelledByPhone();
        if (type != sharing::V1Frame::RESPONSE) return false;
        switch (frame.v1().connection_response().status()) {
        case sharing::ConnectionResponseFrame::ACCEPT:
            return true;
        case sharing::ConnectionResponseFrame::NOT_ENOUGH_SPACE:
            throw QuickShareError::notEnoughSpace();
        case sharing::ConnectionResponseFrame::UNSUPPORTED_ATTACHMENT_TYPE:
            throw QuickShareError::unsupported();
        case sharing::ConnectionResponseFrame::TIMED_OUT:
            throw QuickShareError::timedOut();
        default:
            throw QuickShareError::declined();
        }
    }

    asio::awaitable<void> awaitAcceptance(SharingFlow& flow) {
        while (!accepted) {
            Frame frame;
            try {
                frame = co_await flow.inbox().next(timeouts.response);
            } catch (const QuickShareError& error) {
                // A phone that goes away instead of answering counts as nobody answering.
                if (error.kind() == QuickShareError::Kind::disconnected) throw QuickShareError::timedOut();
                throw;
            }
            accepted = answerIn(frame);
        }
    }

    asio::awaitable<void> sendFiles(SharingFlow& flow) {
        std::int64_t total = 0;
        for (const auto& entry : entries) total += entry.meta.size();
        std::int64_t sent = 0;
        if (progress) progress(0, total);

        ChunkReadAhead reader(stream->executor(), QuickShareSender::chunkSize);
        for (const auto& entry : entries) {
            auto file = std::make_shared<SourceFile>(entry.path, entry.described);
            const std::int64_t size = entry.meta.size();
            reader.start([file](std::uint8_t* buffer, std::size_t wanted) { return file->read(buffer, wanted); },
                         size);
            std::int64_t offset = 0;
            while (offset < size) {
                const ByteView chunk = co_await reader.next();
                if (chunk.empty()) {
                    throw FileError::shrank(entry.path);
                }
                flow.throwIfCancelled();
                co_await sendChunk(flow, entry, offset, chunk, false);
                offset += static_cast<std::int64_t>(chunk.size());
                sent += static_cast<std::int64_t>(chunk.size());
                if (progress) progress(sent, total);
            }
            // Written to while it was read, the phone would keep a mixture: it never gets the
            // last chunk, so it keeps nothing.
            file->checkUnchanged();
            co_await sendChunk(flow, entry, offset, ByteView{}, true);
        }
    }
};

}  // namespace

asio::awaitable<void> QuickShareSender::send(std::vector<std::filesystem::path> files,
                                             std::shared_ptr<ByteStream> to, std::string senderName,
                                             std::optional<QRCodeSession> qr, ConfirmPeer confirmPeer,
                                             StatusCallback status, Progress progress, CancelSignal cancel,
                                             Timeouts timeouts) {
    auto random = RandomSource::system();
    std::vector<Entry> entries;
    entries.reserve(files.size());
    for (const auto& file : files) entries.push_back(makeEntry(file, *random));
    if (entries.empty()) co_return;

    auto run = std::make_shared<SendRun>(SendRun{std::move(entries), to, std::move(senderName), std::move(qr),
                                                 std::move(confirmPeer), std::move(status),
                                                 std::move(progress), cancel, timeouts});
    // The whole transfer runs on the stream's strand, beside its connection. (The lambda is
    // named: GCC 12 destroys a capturing lambda temporary twice in a co_await expression.)
    auto transfer = [run]() { return run->run(); };
    co_await asio::co_spawn(to->executor(), std::move(transfer), asio::use_awaitable);
}

}  // namespace velmo
