// The model's construction, settings and sharing lifecycle.
#include "velmo/model/AppModelGui.h"

#include <QSettings>

#include <utility>

namespace velmo {

AppModel::AppModel(std::unique_ptr<QSettings> store, AppModelServices services, QObject* parent)
    : QObject(parent), settings_(std::move(store)), services_(std::move(services)) {
    prompt_ = services_.prompt ? std::move(services_.prompt) : std::make_unique<NoPromptPresenter>();
    if (!services_.sharing) services_.sharing = std::make_unique<UnavailableSharingService>();
    if (!services_.isReplacingApp) services_.isReplacingApp = [] { return false; };
    if (!services_.checkForUpdatesIfDue) services_.checkForUpdatesIfDue = [] {};

    sharingMode_ = settings_.sharingMode();
    receiveFromAndroid_ = settings_.receiveFromAndroid();
    deviceName_ = settings_.deviceName();
    downloadFolder_ = settings_.downloadFolder();

    promptTimer_.setSingleShot(true);
    promptTimer_.setTimerType(Qt::PreciseTimer);
    renameTimer_.setSingleShot(true);
    renameTimer_.setTimerType(Qt::PreciseTimer);
    connect(&renameTimer_, &QTimer::timeout, this, [this] {
        emit renameTaskChanged();
        refreshAdvertising();
    });
}

AppModel::~AppModel() {
    // No engine callback may start once the members below begin to go.
    services_.advertiser.reset();  // its renames reach discovery
    services_.discovery.reset();
    if (webServer_) webServer_->stop();
    for (auto& entry : cancelers_) entry.second();
}

void AppModel::setPromptPresenter(std::unique_ptr<PromptPresenter> presenter) {
    if (prompt_) prompt_->dismiss();
    prompt_ = presenter ? std::move(presenter) : std::make_unique<NoPromptPresenter>();
    if (incoming_) prompt_->present(*this);
}

void AppModel::setStatusMessage(std::string message) {
    assign(statusMessage_, std::optional<std::string>(std::move(message)), &AppModel::statusMessageChanged);
}
void AppModel::setStarted(bool value) { assign(started_, value, &AppModel::startedChanged); }
void AppModel::setAdvertisingReady(bool value) { assign(advertisingReady_, value, &AppModel::advertisingReadyChanged); }

void AppModel::setDeviceName(const std::string& name) {
    settings_.setDeviceName(name);
    assign(deviceName_, name, &AppModel::deviceNameChanged);
    // Only the last of a run of edits restarts the advertiser.
    renameTimer_.start(services_.timeouts.renameDebounce);
    emit renameTaskChanged();
}

void AppModel::setReceiveFromAndroid(bool on) {
    settings_.setReceiveFromAndroid(on);
    assign(receiveFromAndroid_, on, &AppModel::receiveFromAndroidChanged);
    if (!on) declineOffers();
    refreshAdvertising();
}

void AppModel::setDownloadFolder(const Path& folder) {
    settings_.setDownloadFolder(folder);
    assign(downloadFolder_, folder, &AppModel::downloadFolderChanged);
}

void AppModel::start() {
    if (started_) return;
    setStarted(true);
    if (!sharingMode_) return;  // waits for the user's choice
    beginSharing();
}

void AppModel::beginSharing() {
    refreshSharing();
    services_.checkForUpdatesIfDue();
}

void AppModel::refreshSharing() {
    if (isSharingAllowed()) {
        if (!advertisingReady_) startSharing();
        return;
    }
    stopEverything();
}

void AppModel::stopEverything() {
    setAdvertisingReady(false);
    services_.advertiser->stop();
    services_.discovery->stop();
    quickSharePhones_.clear();
    emit quickSharePhonesChanged();
    cancelQRSend();
    stopWebReceive();
    declineOffers();
    std::vector<Uuid> pending;
    for (const auto& entry : peerChecks_) pending.push_back(entry.first);
    for (const Uuid& id : pending) answerPeerCheck(id, false);
    auto cancelers = cancelers_;
    for (auto& entry : cancelers) entry.second();
}

void AppModel::startSharing() {
    QPointer<AppModel> self(this);
    services_.discovery->setCallbacks(
        [self](std::vector<QuickSharePhone> phones) { postFoundPhones(self, std::move(phones)); },
        [self](QuickSharePhone phone) { postMatchedQR(self, std::move(phone)); },
        [self](std::string message) { postError(self, std::move(message)); });
    services_.discovery->ignore({services_.advertiser->serviceName()});
    services_.discovery->start();
    services_.advertiser->setOnError([self](std::string message) { postError(self, std::move(message)); });
    setAdvertisingReady(true);
    refreshAdvertising();
}

void AppModel::refreshAdvertising() {
    if (!advertisingReady_ || !isSharingAllowed()) return;
    auto session = activeQuickReceiveSession();
    if (!receiveFromAndroid_ && !session) {
        services_.advertiser->stop();
        return;
    }
    QPointer<AppModel> self(this);
    services_.advertiser->setOnConnection([self, session, admission = admission_](std::shared_ptr<ByteStream> stream) {
        postConnection(self, admission, std::move(stream), session);
    });
    try {
        services_.advertiser->start(deviceName_);
    } catch (const std::exception& error) {
        setStatusMessage(std::string("Couldn't show this computer to Android phones: ") + error.what());
    }
}

void AppModel::setSharingMode(SharingMode mode) {
    if (sharingMode_ == mode) return;
    bool hadMode = sharingMode_.has_value();
    cancelQRSend();
    stopWebReceive();
    sharingMode_ = mode;
    emit sharingModeChanged();
    settings_.setSharingMode(mode);
    if (!started_) return;
    if (hadMode)
        refreshSharing();
    else
        beginSharing();
}

bool AppModel::canShareNow() {
    if (quitting_ || services_.isReplacingApp()) return false;
    if (isSharingAllowed()) return true;
    refreshSharing();
    return false;
}

bool AppModel::isReadyForUpdate() const {
    if (qrSend_ || webReceive_ || incoming_ || !peerChecks_.empty()) return false;
    for (const auto& item : transfers_)
        if (item.state.isActive()) return false;
    return staged_.empty();
}

void AppModel::didBecomeActive() {
    if (started_ && sharingMode_) services_.checkForUpdatesIfDue();
}

void AppModel::answerIncoming(bool accept) {
    if (!incoming_) return;
    IncomingRequest request = std::move(*incoming_);
    incoming_.reset();
    emit incomingChanged();
    prompt_->dismiss();
    if (request.resolve) request.resolve(accept && isSharingAllowed());
    askNextOffer();
}

void AppModel::answerPeerCheck(const Uuid& transferId, bool matches) {
    auto found = peerChecks_.find(transferId);
    if (found == peerChecks_.end()) return;
    auto callback = std::move(found->second);
    peerChecks_.erase(found);
    peerCheckTimers_.erase(transferId);
    emit peerChecksChanged();
    clearPeerCheck(transferId);
    if (qrSend_) {
        for (const auto& recipient : qrSend_->recipients) {
            const auto& phase = recipient.phase;
            if (phase.kind() == QRSend::Recipient::Phase::Kind::verify && phase.transferId() == transferId) {
                std::string pin = phase.pin();
                updateRecipient(recipient.id, std::nullopt, [pin](QRSend::Recipient& r) {
                    r.phase = QRSend::Recipient::Phase::waitingForAccept(pin);
                });
                break;
            }
        }
    }
    if (callback) callback(matches && isSharingAllowed());
}

void AppModel::quit(std::chrono::milliseconds limit, std::function<void()> settled) {
    quitting_ = true;
    renameTimer_.stop();
    setAdvertisingReady(false);
    services_.advertiser->stop();
    services_.discovery->stop();
    // The cancel signal alone: a flow that has it says goodbye to its phone within its own
    // short grace and removes its part files, where closing the connection would cut it off.
    for (auto& entry : flowCancels_) entry.second.cancel();
    // The session's running uploads get their final answer meanwhile.
    if (auto server = stopWebServer()) {
        webUploadsOpen_ = true;
        QPointer<AppModel> self(this);
        server->whenClosed([self] {
            gui::post(self, [](AppModel& m) {
                m.webUploadsOpen_ = false;
                m.settleQuit(false);
            });
        });
    }
    auto* deadline = new QTimer(this);  // also the context of the watch below: both go with it
    deadline->setSingleShot(true);
    quitSettled_ = [this, deadline, settled = std::move(settled)] {
        deadline->stop();
        deadline->deleteLater();
        stopEverything();
        if (settled) settled();
    };
    connect(this, &AppModel::cancelersChanged, deadline, [this] { settleQuit(false); });
    connect(deadline, &QTimer::timeout, deadline, [this] { settleQuit(true); });
    deadline->start(limit);
    settleQuit(false);
}

void AppModel::settleQuit(bool timeUp) {
    if (!quitSettled_) return;
    if (!timeUp && (!cancelers_.empty() || webUploadsOpen_)) return;
    std::exchange(quitSettled_, nullptr)();
}

void AppModel::reportError(std::string message) { postError(QPointer<AppModel>(this), std::move(message)); }

void AppModel::postError(QPointer<AppModel> model, std::string message) {
    gui::post(model, [message = std::move(message)](AppModel& m) { m.setStatusMessage(message); });
}

}  // namespace velmo
