// Incoming Quick Share connections: admission, the receive flow, the decision on the offer
// and the prompt.
#include "velmo/model/AppModelGui.h"

#include <asio/co_spawn.hpp>

#include <algorithm>

#include "quickshare/QuickShareError.h"
#include "transfer/ByteStream.h"
#include "velmo/model/FailureTexts.h"

namespace velmo {

namespace {

const char* const receiveLimitText =
    "Receive limit reached. Open a new receive code (up to 10 GB per file and 20 GB or 256 files per session).";
const char* const sessionClosedText = "Receive session closed.";
const char* const cancelledText = "Cancelled";
// Hosts remembered by when they were last asked: more than can hold places at once.
constexpr std::size_t rememberedHosts = 16;

asio::awaitable<bool> decideOnGui(QPointer<AppModel> model, Uuid id, QuickShareOffer offer,
                                  std::optional<QuickReceiveSession> session,
                                  std::function<void(AppModel&, Uuid, QuickShareOffer, std::optional<QuickReceiveSession>,
                                                     std::function<void(bool)>)>
                                      ask) {
    auto question = [ask = std::move(ask), id, offer = std::move(offer), session = std::move(session)](
                        AppModel& m, std::function<void(bool)> reply) { ask(m, id, offer, session, std::move(reply)); };
    co_return co_await gui::askOnGui(model, std::move(question));
}

// The engine refused the offer it had just read, before asking about it.
bool refusedItsOffer(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const QuickShareError& e) {
        return e.refusesTheOffer();
    } catch (...) {
        return false;
    }
}

}  // namespace

std::optional<QuickReceiveSession> AppModel::activeQuickReceiveSession() const {
    if (sharingMode_ != SharingMode::quick || !webReceive_) return std::nullopt;
    return webReceive_->quickShareSession;
}

bool AppModel::isQuickReceiveSessionCurrent(const QuickReceiveSession& session) const {
    if (!isSharingAllowed()) return false;
    auto active = activeQuickReceiveSession();
    return active && active->id == session.id && session.authorization && session.authorization->isActive();
}

void AppModel::handleIncomingConnection(std::shared_ptr<ByteStream> stream, std::optional<QuickReceiveSession> session) {
    postConnection(QPointer<AppModel>(this), admission_, std::move(stream), std::move(session));
}

void AppModel::postConnection(QPointer<AppModel> model, const std::shared_ptr<IncomingAdmission>& admission,
                              std::shared_ptr<ByteStream> stream, std::optional<QuickReceiveSession> session) {
    if (!stream) return;
    CancelSignal cancel;
    const auto id = admission->admit(stream, cancel);
    if (!id) return stream->abort();
    gui::postOr(
        model, [stream, session, id = *id, cancel](AppModel& m) { m.runIncomingTransfer(stream, session, id, cancel); },
        [stream, admission, id = *id] {
            admission->release(id);
            stream->abort();
        });
}

bool AppModel::isFlowCancelled(const Uuid& id) const {
    auto found = flowCancels_.find(id);
    return found != flowCancels_.end() && found->second.isCancelled();
}

void AppModel::runIncomingTransfer(std::shared_ptr<ByteStream> stream, std::optional<QuickReceiveSession> session,
                                   const Uuid& id, CancelSignal cancel) {
    if (!canShareNow() || (session ? !isQuickReceiveSessionCurrent(*session) : !receiveFromAndroid_)) {
        admission_->release(id);
        return stream->abort();
    }
    // Displaced on its way here: its connection has already been ended.
    if (!admission_->run(id)) return;
    noteIncomingCount();

    TransferItem row;
    row.id = id;
    row.direction = TransferItem::Direction::receiving;
    row.peer = "Android phone";
    row.summary = "Incoming\u2026";
    row.state = TransferItem::State::connecting();
    addTransfer(std::move(row));

    if (session) {
        quickReceiveTransfers_[id] = session->id;
        emit quickReceiveTransfersChanged();
        if (webReceive_) {
            webReceive_->transferIDs.insert(id);
            emit webReceiveChanged();
        }
    }

    flowCancels_[id] = cancel;
    QPointer<AppModel> self(this);
    auto ask = [](AppModel& m, Uuid rowId, QuickShareOffer offer, std::optional<QuickReceiveSession> s,
                  std::function<void(bool)> reply) { m.askQuickShare(rowId, offer, s, std::move(reply)); };
    // Called on the engine's thread as soon as it has read the offer: from then on the place
    // is no longer one a newcomer may take, however long the hop to this thread takes.
    AppModelServices::Decide decide = [self, id, session, ask, admission = admission_](QuickShareOffer offer) {
        admission->markOffered(id);
        return decideOnGui(self, id, std::move(offer), session, ask);
    };
    AppModelServices::Progress progress = [self, id](std::int64_t done, std::int64_t total) {
        gui::post(self, [id, done, total](AppModel& m) { m.setTransferProgress(id, done, total); });
    };
    // Posted before the flow's end, so finishIncoming knows every file that was kept.
    AppModelServices::Saved saved = [self, id](const std::filesystem::path& file) {
        gui::post(self, [id, file](AppModel& m) { m.noteReceivedFile(id, file); });
    };
    auto flow = services_.receive(stream, downloadFolder_, session ? session->authorization : nullptr,
                                  std::move(decide), std::move(progress), cancel, std::move(saved));
    asio::co_spawn(services_.executor, std::move(flow),
                   [self, id](std::exception_ptr error, std::vector<std::filesystem::path> saved) {
                       gui::post(self, [id, error, saved = std::move(saved)](AppModel& m) {
                           m.finishIncoming(id, error, saved);
                       });
                   });

    // The signal alone: the flow closes a connection still in its handshake at once, and
    // gives a phone past it its goodbye frames and a short grace, which a close would cut.
    cancelers_[id] = [cancel]() mutable { cancel.cancel(); };
    emit cancelersChanged();
}

void AppModel::noteIncomingCount() {
    const int now = incomingCount();
    if (std::exchange(toldIncomingCount_, now) != now) emit incomingCountChanged();
}

void AppModel::removeSilentRow(const Uuid& id) {
    const auto row = std::find_if(transfers_.begin(), transfers_.end(), [&](const TransferItem& t) { return t.id == id; });
    if (row != transfers_.end()) {
        transfers_.erase(row);
        emit transfersChanged();
    }
    if (webReceive_ && webReceive_->transferIDs.erase(id)) emit webReceiveChanged();
}

void AppModel::noteReceivedFile(const Uuid& id, const Path& file) {
    auto& received = receivedSoFar_[id];
    received.saved.push_back(file);
    // The name it was saved under: a second "invoice.pdf" became "invoice (1).pdf".
    if (received.offered == 1)
        updateTransfer(id, [&](TransferItem& t) { t.summary = TransferItem::summaryFor({file.filename().string()}); });
}

void AppModel::finishIncoming(const Uuid& id, std::exception_ptr error, const Files& saved) {
    const auto received = receivedSoFar_.count(id) ? receivedSoFar_[id] : ReceivedSoFar{};
    receivedSoFar_.erase(id);
    const bool offered = admission_->offered(id);
    const auto row = std::find_if(transfers_.begin(), transfers_.end(), [&](const TransferItem& t) { return t.id == id; });
    const bool untouched = row != transfers_.end() && row->state == TransferItem::State::connecting();
    const bool asked = row != transfers_.end() && row->state == TransferItem::State::awaitingAccept();
    if (error && !offered && untouched && !refusedItsOffer(error)) {
        // It ended before the phone said what it offers: nothing to tell, as for a connection
        // turned away. (A row someone cancelled keeps saying so.)
        removeSilentRow(id);
    } else if (!error) {
        if (!saved.empty()) {
            markTransferReceived(id, saved);
        } else {
            markTransferDeclined(id);
        }
    } else if (received.saved.empty()) {
        failTransferIfActive(id, receiveFailureText(error, isFlowCancelled(id), asked));
    } else {
        // Files saved before the failure stay: the row says how many and can show them. When
        // all were kept before the goodbye failed, nothing is missing.
        const bool whole = received.saved.size() == received.offered;
        const std::string text = std::to_string(received.saved.size()) + " of " + std::to_string(received.offered) +
                                 " files saved. " + receiveFailureText(error, isFlowCancelled(id), asked);
        updateTransfer(id, [&](TransferItem& t) {
            if (t.state.isActive()) {
                t.state = whole ? TransferItem::State::done() : TransferItem::State::failed(text);
                if (whole) t.done = t.total;
            }
            if (t.state.kind() != TransferItem::State::Kind::declined) t.savedURLs = received.saved;
        });
    }
    flowCancels_.erase(id);
    if (cancelers_.erase(id)) emit cancelersChanged();
    if (quickReceiveTransfers_.erase(id)) emit quickReceiveTransfersChanged();
    // Its phone left while asked or waiting: the row already says so, and the next is asked.
    withdrawWaitingOffer(id);
    if (incoming_ && incoming_->id == id) answerIncoming(false);
    admission_->release(id);
    noteIncomingCount();
}

void AppModel::askQuickShare(const Uuid& id, const QuickShareOffer& offer,
                             const std::optional<QuickReceiveSession>& session, std::function<void(bool)> reply) {
    receivedSoFar_[id].offered = offer.files.size();
    if (!isSharingAllowed() || isFlowCancelled(id)) return reply(false);
    if (session) return reply(acceptIntoSession(id, offer, *session));
    if (!receiveFromAndroid_) return reply(false);

    applyOffer(id, offer, TransferItem::State::awaitingAccept());
    // One offer is asked at a time; another waits its turn, its phone waiting for the answer.
    if (incoming_) {
        waitingOffers_.push_back({id, offer, std::move(reply)});
        return;
    }
    promptFor(id, offer, std::move(reply));
}

void AppModel::promptFor(const Uuid& id, const QuickShareOffer& offer, std::function<void(bool)> reply) {
    if (const auto host = admission_->host(id)) {
        std::erase(askedHosts_, *host);
        askedHosts_.push_back(*host);
        if (askedHosts_.size() > rememberedHosts) askedHosts_.erase(askedHosts_.begin());
    }
    QPointer<AppModel> self(this);
    showIncoming(id, offer, [self, id, reply = std::move(reply)](bool accepted) {
        if (!accepted || !self) return reply(false);
        self->setTransferState(id, TransferItem::State::transferring());
        // Other work ran while the prompt was up: the answer counts only if still allowed.
        reply(self->isSharingAllowed() && self->receiveFromAndroid_ && !self->isFlowCancelled(id));
    });
}

bool AppModel::acceptIntoSession(const Uuid& id, const QuickShareOffer& offer, const QuickReceiveSession& session) {
    std::string refusal;
    if (!isQuickReceiveSessionCurrent(session)) {
        refusal = sessionClosedText;
    } else {
        std::vector<std::int64_t> sizes;
        for (const auto& file : offer.files) sizes.push_back(file.size);
        if (session.budget && session.budget->reserve(sizes)) {
            applyOffer(id, offer, TransferItem::State::transferring());
            return true;
        }
        refusal = receiveLimitText;
        setStatusMessage(refusal);
    }
    // The row names this refusal's own reason, never an unrelated status line.
    applyOffer(id, offer, TransferItem::State::failed(refusal));
    return false;
}

void AppModel::askNextOffer() {
    if (incoming_ || quitting_) return;
    // The host asked least recently goes first (one never asked before all), in arrival order
    // among equals: a host offering again after each answer cannot keep another one waiting.
    const auto lastAsked = [&](const WaitingOffer& waiting) -> std::ptrdiff_t {
        const auto host = admission_->host(waiting.id);
        const auto asked = host ? std::find(askedHosts_.begin(), askedHosts_.end(), *host) : askedHosts_.end();
        return asked == askedHosts_.end() ? -1 : asked - askedHosts_.begin();
    };
    auto next = waitingOffers_.end();
    for (auto it = waitingOffers_.begin(); it != waitingOffers_.end(); ++it) {
        // A flow cancelled meanwhile ends on its own and leaves the queue then.
        if (isFlowCancelled(it->id)) continue;
        if (next == waitingOffers_.end() || lastAsked(*it) < lastAsked(*next)) next = it;
    }
    if (next == waitingOffers_.end()) return;
    WaitingOffer waiting = std::move(*next);
    waitingOffers_.erase(next);
    promptFor(waiting.id, waiting.offer, std::move(waiting.reply));
}

void AppModel::withdrawWaitingOffer(const Uuid& id) {
    const auto found = std::find_if(waitingOffers_.begin(), waitingOffers_.end(),
                                    [&](const WaitingOffer& waiting) { return waiting.id == id; });
    if (found == waitingOffers_.end()) return;
    auto reply = std::move(found->reply);
    waitingOffers_.erase(found);
    reply(false);
}

void AppModel::declineIncoming(const std::string& why) {
    if (!incoming_) return;
    failTransferIfActive(incoming_->id, why);
    answerIncoming(false);
}

void AppModel::declineOffers() {
    for (auto& waiting : std::exchange(waitingOffers_, {})) {
        failTransferIfActive(waiting.id, cancelledText);
        waiting.reply(false);
    }
    declineIncoming(cancelledText);
}

void AppModel::showIncoming(const Uuid& id, const QuickShareOffer& offer, std::function<void(bool)> resolve) {
    promptTimer_.disconnect();
    connect(&promptTimer_, &QTimer::timeout, this, [this, id] {
        if (incoming_ && incoming_->id == id) declineIncoming("Not answered");
    });
    promptTimer_.start(services_.timeouts.prompt);
    incoming_ = IncomingRequest{id, offer, [this, resolve = std::move(resolve)](bool accept) {
                                    promptTimer_.stop();
                                    resolve(accept);
                                }};
    emit incomingChanged();
    prompt_->present(*this);
}

}  // namespace velmo
