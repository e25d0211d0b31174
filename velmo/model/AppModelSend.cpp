// Sending: the QR send and its recipients, the discovered phones, direct sends, and the one
// per-phone routine with its code comparison.
#include "velmo/model/AppModelGui.h"

#include <asio/co_spawn.hpp>

#include "platform/EcKey.h"
#include "platform/PosixError.h"
#include "quickshare/QuickShareError.h"
#include "transfer/ByteStream.h"
#include "transfer/FileError.h"
#include "transfer/PeerText.h"
#include "transfer/ShareError.h"
#include "velmo/model/FailureTexts.h"

namespace velmo {

namespace {

constexpr std::size_t maxQRRecipients = 32;
using Phase = QRSend::Recipient::Phase;

bool samePhones(const std::vector<QuickSharePhone>& a, const std::vector<QuickSharePhone>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Why a send to `phone` failed, as a sentence. The files' own sentences stand, the engine's as
// engineErrorText tells them (its own wording goes to the log); a connection that could not be
// made names the phone, one lost on the way reads as the transport's own sentence, never the
// system's bare text.
std::string sendFailureText(std::exception_ptr error, const std::string& phone) {
    try {
        std::rethrow_exception(error);
    } catch (const ShareError& e) {
        return e.what();
    } catch (const FileError& e) {
        return e.what();
    } catch (const QuickShareError& e) {
        qWarning("Quick Share %s: %s", e.kindName(), e.what());
        return engineErrorText(e);
    } catch (const std::system_error& e) {
        const auto code = posixCode(e.code());
        if (code == std::errc::connection_refused || code == std::errc::address_not_available ||
            code == std::errc::host_unreachable || code == std::errc::network_unreachable ||
            code == std::errc::network_down || code == std::errc::permission_denied)
            return "Couldn't reach " + isolated(phone) + ".";
        return ShareError::connectionClosed().what();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error.";
    }
}

}  // namespace

struct AppModel::SendJob {
    Uuid id;  // the sending row
    QuickSharePhone phone;
    std::optional<std::string> recipientId;
    std::optional<Uuid> sessionId;
    bool provesWithQRKey = false;
    CancelSignal cancel;
    std::shared_ptr<ByteStream> stream;
    bool routineCancelled = false;  // the QR send ended or sharing stopped
    bool finished = false;          // the engine's send has ended

    void stop() {
        cancel.cancel();
        if (stream) stream->close();
    }
};

namespace {

asio::awaitable<bool> confirmOnGui(QPointer<AppModel> model,
                                   std::function<void(AppModel&, std::function<void(bool)>)> question) {
    co_return co_await gui::askOnGui(model, std::move(question));
}

}  // namespace

void AppModel::startQRSend() {
    if (!canShareNow()) return;
    cancelQRSend();
    stopWebReceive();
    if (staged_.empty()) chooseFiles();
    Files files = takeFilesForSending(staged_);
    if (files.empty()) return;
    QRCodeSession session(P256PrivateKey::generate());
    qrSend_ = QRSend{Uuid::random(), session, files, {}};
    emit qrSendChanged();
    services_.discovery->setQRSession(session);
}

void AppModel::cancelQRSend() {
    auto tasks = std::move(qrTasks_);
    qrTasks_.clear();
    for (auto& entry : tasks) entry.second();
    if (!tasks.empty()) emit qrTasksChanged();
    services_.discovery->setQRSession(std::nullopt);
    if (qrSend_ && qrSend_->recipients.empty()) {
        staged_ = qrSend_->files;
        emit stagedChanged();
    }
    if (qrSend_) {
        qrSend_.reset();
        emit qrSendChanged();
    }
}

void AppModel::discoveryFoundPhones(std::vector<QuickSharePhone> phones) {
    postFoundPhones(QPointer<AppModel>(this), std::move(phones));
}

void AppModel::postFoundPhones(QPointer<AppModel> model, std::vector<QuickSharePhone> phones) {
    gui::post(model, [phones = std::move(phones)](AppModel& m) {
        if (!m.isSharingAllowed()) return;
        bool same = samePhones(m.quickSharePhones_, phones);
        m.quickSharePhones_ = phones;
        if (!same) emit m.quickSharePhonesChanged();
    });
}

void AppModel::discoveryMatchedQR(QuickSharePhone phone) { postMatchedQR(QPointer<AppModel>(this), std::move(phone)); }

void AppModel::postMatchedQR(QPointer<AppModel> model, QuickSharePhone phone) {
    gui::post(model, [phone = std::move(phone)](AppModel& m) { m.addQRRecipient(phone); });
}

void AppModel::addQRRecipient(const QuickSharePhone& phone) {
    auto send = matchingQRSend(phone, std::nullopt);
    if (!send) return;
    if (send->recipients.size() >= maxQRRecipients) return;
    for (const auto& recipient : send->recipients)
        if (recipient.id == phone.id) return;  // never sent to twice within one QR send
    send->recipients.push_back(QRSend::Recipient{phone.id, phone.name, Phase::connecting(), 0});
    qrSend_ = *send;
    emit qrSendChanged();
    auto job = sendFiles(send->files, phone, phone.id, send->id);
    if (!job) return;
    qrTasks_[phone.id] = [this, job] {
        job->routineCancelled = true;
        job->stop();
        answerPeerCheck(job->id, false);
    };
    emit qrTasksChanged();
}

std::optional<QRSend> AppModel::matchingQRSend(const QuickSharePhone& phone, const std::optional<Uuid>& sessionId) const {
    if (!isSharingAllowed() || !qrSend_) return std::nullopt;
    if (sessionId && qrSend_->id != *sessionId) return std::nullopt;
    if (!qrSend_->session.match(phone.info)) return std::nullopt;
    return qrSend_;
}

std::optional<QRCodeSession> AppModel::qrSession(const QuickSharePhone& phone, const Uuid& sessionId) const {
    if (sharingMode_ != SharingMode::quick) return std::nullopt;
    auto send = matchingQRSend(phone, sessionId);
    if (!send) return std::nullopt;
    return send->session;
}

void AppModel::updateRecipient(const std::optional<std::string>& recipientId, const std::optional<Uuid>& sessionId,
                               const RecipientChange& change) {
    if (!recipientId || !qrSend_) return;
    if (sessionId && qrSend_->id != *sessionId) return;
    for (auto& recipient : qrSend_->recipients) {
        if (recipient.id == *recipientId) {
            change(recipient);
            emit qrSendChanged();
            return;
        }
    }
}

void AppModel::send(const Files& files, const QuickSharePhone& phone) {
    if (!canShareNow()) return;
    Files taken = takeFilesForSending(files);
    if (taken.empty()) return;
    sendFiles(taken, phone, std::nullopt, std::nullopt);
}

void AppModel::sendToAllPhones() {
    // The files leave the staged list only when there is a phone to take them; the chooser
    // runs an event loop, during which the phones may go.
    const auto ready = [this] { return canShareNow() && !quickSharePhones_.empty(); };
    if (!ready()) return;
    if (staged_.empty()) chooseFiles();
    if (!ready()) return;
    Files taken = takeFilesForSending(staged_);
    if (taken.empty()) return;
    const auto phones = quickSharePhones_;
    for (const auto& phone : phones) sendFiles(taken, phone, std::nullopt, std::nullopt);
}

std::shared_ptr<AppModel::SendJob> AppModel::sendFiles(const Files& files, const QuickSharePhone& phone,
                                                       const std::optional<std::string>& recipientId,
                                                       const std::optional<Uuid>& sessionId) {
    if (!canShareNow()) return nullptr;
    if (sessionId && !matchingQRSend(phone, sessionId)) return nullptr;
    std::optional<QRCodeSession> qr;
    if (sessionId) qr = qrSession(phone, *sessionId);

    auto job = std::make_shared<SendJob>();
    job->id = Uuid::random();
    job->phone = phone;
    job->recipientId = recipientId;
    job->sessionId = sessionId;
    job->provesWithQRKey = qr.has_value();

    TransferItem row;
    row.id = job->id;
    row.direction = TransferItem::Direction::sending;
    row.peer = phone.name;
    std::vector<std::string> names;
    for (const auto& file : files) {
        names.push_back(file.filename().string());
        std::error_code error;
        auto size = std::filesystem::file_size(file, error);
        if (!error) row.total += static_cast<std::int64_t>(size);
    }
    row.summary = TransferItem::summaryFor(names);
    row.state = TransferItem::State::connecting();
    addTransfer(std::move(row));

    try {
        job->stream = services_.openStream(phone);
    } catch (const std::exception&) {
        // An address that cannot be connected to ends this send only.
        std::string message = sendFailureText(std::current_exception(), phone.name);
        failTransferIfActive(job->id, message);
        updateRecipient(recipientId, sessionId, [&](QRSend::Recipient& r) { r.phase = Phase::failed(message); });
        return nullptr;
    }
    flowCancels_[job->id] = job->cancel;

    QPointer<AppModel> self(this);
    QuickShareSender::ConfirmPeer confirm = [self, job](std::string pin) {
        auto question = [job, pin](AppModel& m, std::function<void(bool)> reply) {
            m.confirmPeer(job, pin, std::move(reply));
        };
        return confirmOnGui(self, std::move(question));
    };
    QuickShareSender::StatusCallback status = [self, job](const QuickShareSender::Status& s) {
        gui::post(self, [job, s](AppModel& m) { m.applySendStatus(job, s); });
    };
    AppModelServices::Progress progress = [self, job](std::int64_t done, std::int64_t total) {
        gui::post(self, [job, done, total](AppModel& m) { m.applySendProgress(job, done, total); });
    };
    auto flow = services_.send(files, job->stream, deviceName_, qr, std::move(confirm), std::move(status),
                               std::move(progress), job->cancel);
    asio::co_spawn(services_.executor, std::move(flow), [self, job](std::exception_ptr error) {
        gui::post(self, [job, error](AppModel& m) { m.finishSend(job, error); });
    });

    cancelers_[job->id] = [job] { job->stop(); };
    emit cancelersChanged();
    return job;
}

void AppModel::confirmPeer(const std::shared_ptr<SendJob>& job, const std::string& pin,
                           std::function<void(bool)> reply) {
    if (job->finished) return reply(false);  // the phone ended the send before the question got here
    if (job->sessionId && job->provesWithQRKey)
        return reply(qrSession(job->phone, *job->sessionId).has_value() && !job->cancel.isCancelled());
    askPeerCheck(job->id, job->recipientId, job->sessionId, pin, std::move(reply));
}

void AppModel::askPeerCheck(const Uuid& id, const std::optional<std::string>& recipientId,
                            const std::optional<Uuid>& sessionId, const std::string& pin,
                            std::function<void(bool)> reply) {
    if (!isSharingAllowed() || isFlowCancelled(id)) return reply(false);
    if (sessionId && (!qrSend_ || qrSend_->id != *sessionId)) return reply(false);

    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer.get(), &QTimer::timeout, this, [this, id] { answerPeerCheck(id, false); });
    timer->start(services_.timeouts.peerCheck);
    peerCheckTimers_[id] = std::move(timer);
    peerChecks_[id] = std::move(reply);
    emit peerChecksChanged();
    showPeerCheck(id, pin);
    updateRecipient(recipientId, std::nullopt, [&](QRSend::Recipient& r) { r.phase = Phase::verify(pin, id); });
}

void AppModel::applySendStatus(const std::shared_ptr<SendJob>& job, const QuickShareSender::Status& status) {
    switch (status.kind()) {
    case QuickShareSender::Status::Kind::connecting:
        markTransferConnecting(job->id);
        break;
    case QuickShareSender::Status::Kind::waitingForAccept:
        // A comparison already on screen stays there.
        if (peerChecks_.count(job->id)) break;
        showTransferCode(job->id, status.pin());
        updateRecipient(job->recipientId, job->sessionId,
                        [&](QRSend::Recipient& r) { r.phase = Phase::waitingForAccept(status.pin()); });
        break;
    case QuickShareSender::Status::Kind::sending:
        setTransferState(job->id, TransferItem::State::transferring());
        updateRecipient(job->recipientId, job->sessionId, [](QRSend::Recipient& r) { r.phase = Phase::sending(); });
        break;
    }
}

void AppModel::applySendProgress(const std::shared_ptr<SendJob>& job, std::int64_t done, std::int64_t total) {
    setTransferProgress(job->id, done, total);
    double fraction = total >= 1 ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
    updateRecipient(job->recipientId, job->sessionId, [&](QRSend::Recipient& r) { r.fraction = fraction; });
}

void AppModel::finishSend(const std::shared_ptr<SendJob>& job, std::exception_ptr error) {
    job->finished = true;
    // The phone can end the send while the codes are still compared: the question goes away
    // (the engine no longer listens for its answer).
    answerPeerCheck(job->id, false);
    if (!error) {
        markTransferDone(job->id);
        updateRecipient(job->recipientId, job->sessionId, [](QRSend::Recipient& r) {
            r.phase = Phase::done();
            r.fraction = 1;
        });
    } else {
        bool declined = false;
        bool cancelled = job->routineCancelled;
        try {
            std::rethrow_exception(error);
        } catch (const QuickShareError& e) {
            declined = e.kind() == QuickShareError::Kind::declined;
        } catch (const Cancelled&) {
            cancelled = true;
        } catch (...) {
        }
        if (declined) {
            setTransferState(job->id, TransferItem::State::declined());
            std::string text = isolated(job->phone.name) + " declined the files.";
            updateRecipient(job->recipientId, job->sessionId, [&](QRSend::Recipient& r) { r.phase = Phase::failed(text); });
        } else {
            std::string message = cancelled ? std::string("Cancelled") : sendFailureText(error, job->phone.name);
            failTransferIfActive(job->id, message);
            updateRecipient(job->recipientId, job->sessionId,
                            [&](QRSend::Recipient& r) { r.phase = Phase::failed(message); });
        }
    }
    flowCancels_.erase(job->id);
    if (cancelers_.erase(job->id)) emit cancelersChanged();
    if (job->recipientId && qrSend_ && job->sessionId && qrSend_->id == *job->sessionId) {
        auto found = qrTasks_.find(*job->recipientId);
        if (found != qrTasks_.end()) {
            qrTasks_.erase(found);
            emit qrTasksChanged();
        }
    }
}

}  // namespace velmo
