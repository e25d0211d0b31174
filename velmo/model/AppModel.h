// The one application model: settings, the sharing lifecycle (discovery and advertising),
// decisions on incoming offers, sends, the web receive session, the AirDrop hand-off and the
// transfer list. Lives on the GUI thread; every observed property has its own change signal.
// Engine callbacks arrive on engine threads and hop here through queued calls that are
// dropped once the model is gone.
#pragma once
#include "velmo/model/AppModelServices.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Uuid.h"
#include "quickshare/QuickSharePhone.h"
#include "transfer/WebReceiveServer.h"
#include "velmo/model/IncomingAdmission.h"
#include "velmo/model/IncomingRequest.h"
#include "velmo/model/QRSend.h"
#include "velmo/model/QuickReceiveSession.h"
#include "velmo/model/Settings.h"
#include "velmo/model/SharingMode.h"
#include "velmo/model/TransferItem.h"
#include "velmo/model/WebReceive.h"

class QSettings;

namespace velmo {

class ByteStream;

class AppModel : public QObject {
    Q_OBJECT

public:
    using Path = std::filesystem::path;
    using Files = std::vector<Path>;
    using RecipientChange = std::function<void(QRSend::Recipient&)>;

    // Reads the settings from `store`; starts nothing.
    AppModel(std::unique_ptr<QSettings> store, AppModelServices services, QObject* parent = nullptr);
    ~AppModel() override;

    // The view's prompt panel.
    void setPromptPresenter(std::unique_ptr<PromptPresenter> presenter);

    // --- Observed state
    std::optional<SharingMode> sharingMode() const { return sharingMode_; }
    bool started() const { return started_; }
    int incomingCount() const { return static_cast<int>(admission_->running()); }
    bool hasPeerCheck(const Uuid& transferId) const { return peerChecks_.count(transferId) != 0; }
    std::size_t peerCheckCount() const { return peerChecks_.size(); }
    const Files& staged() const { return staged_; }
    const std::vector<TransferItem>& transfers() const { return transfers_; }
    const std::optional<IncomingRequest>& incoming() const { return incoming_; }
    const std::optional<std::string>& statusMessage() const { return statusMessage_; }
    const std::string& deviceName() const { return deviceName_; }
    const Path& downloadFolder() const { return downloadFolder_; }
    bool hasCanceler(const Uuid& transferId) const { return cancelers_.count(transferId) != 0; }
    const std::vector<QuickSharePhone>& quickSharePhones() const { return quickSharePhones_; }
    const std::optional<QRSend>& qrSend() const { return qrSend_; }
    bool receiveFromAndroid() const { return receiveFromAndroid_; }
    bool advertisingReady() const { return advertisingReady_; }
    const std::optional<WebReceive>& webReceive() const { return webReceive_; }
    // A session is open or starting.
    bool hasWebServer() const { return webServer_ != nullptr; }

    // --- Settings (written back on every assignment)
    void setDeviceName(const std::string& name);
    void setReceiveFromAndroid(bool on);
    void setDownloadFolder(const Path& folder);

    // --- Lifecycle
    bool isSharingAllowed() const { return sharingMode_.has_value(); }
    void start();
    void beginSharing();
    void refreshSharing();
    void startSharing();
    void refreshAdvertising();
    void setSharingMode(SharingMode mode);
    bool canShareNow();
    bool isReadyForUpdate() const;
    void didBecomeActive();
    void answerIncoming(bool accept);
    void answerPeerCheck(const Uuid& transferId, bool matches);
    // Any thread: shows `message` in the status line.
    void reportError(std::string message);
    // Quitting: from now on no new work starts, every running transfer is cancelled with its
    // connection left open, so that its phone hears the cancel and its part files go, and the
    // upload server stops, its running uploads answered as stopped. Once all have ended, or
    // after `limit` when what is left is cut off, the sessions close and `settled` runs (at
    // once when nothing runs and no upload server is open).
    void quit(std::chrono::milliseconds limit, std::function<void()> settled);

    // --- Receiving offers
    std::optional<QuickReceiveSession> activeQuickReceiveSession() const;
    bool isQuickReceiveSessionCurrent(const QuickReceiveSession& session) const;
    // Any thread: takes or refuses one accepted connection.
    void handleIncomingConnection(std::shared_ptr<ByteStream> stream, std::optional<QuickReceiveSession> session);

    // --- Transfer list
    void setTransferProgress(const Uuid& id, std::int64_t done, std::int64_t total);
    void setTransferDone(const Uuid& id, std::int64_t bytes);
    void setTransferState(const Uuid& id, TransferItem::State state);
    void markTransferConnecting(const Uuid& id);
    void showTransferCode(const Uuid& id, const std::string& pin);
    void showPeerCheck(const Uuid& id, const std::string& pin);
    void clearPeerCheck(const Uuid& id);
    void markTransferReceived(const Uuid& id, const Files& urls);
    void markTransferDone(const Uuid& id);
    void markTransferDeclined(const Uuid& id);
    void markTransferCancelled(const Uuid& id);
    void failTransferIfActive(const Uuid& id, const std::string& message);
    void failTransfer(const Uuid& id, const std::string& message);
    void applyOffer(const Uuid& id, const QuickShareOffer& offer, TransferItem::State state);
    void applyAirDropResult(const Uuid& id, bool completed, const std::optional<std::string>& message);
    void updateTransfer(const Uuid& id, const std::function<void(TransferItem&)>& change);
    // A new row on top. Of the finished rows only the newest keptFinishedRows stay.
    void addTransfer(TransferItem row);
    static constexpr std::size_t keptFinishedRows = 500;
    void cancelTransfer(const Uuid& id);
    void clearFinished();

    // --- Web receive
    void startWebReceive();
    void stopWebReceive();
    void handleWebReceiveEvent(const WebReceiveServer::Event& event);

    // --- AirDrop
    bool isAirDropAvailable() const;
    void sendViaAirDrop(const Files& files);
    void sendStagedViaAirDrop();

    // --- Staging
    // Local files only; other URLs are dropped silently.
    void stageUrls(const QList<QUrl>& urls);
    void stageFiles(const Files& files);
    // Names given to the application that name no file: the status line says so.
    void reportMissingFiles(const std::vector<std::string>& names);
    void removeStaged(const Path& file);
    // "Clear": the staged list becomes empty in one change.
    void clearStaged();
    void chooseFiles();
    void chooseDownloadFolder();
    Files takeFilesForSending(const Files& files);

    // --- Sending
    void startQRSend();
    void cancelQRSend();
    // Any thread (discovery's callbacks).
    void discoveryFoundPhones(std::vector<QuickSharePhone> phones);
    void discoveryMatchedQR(QuickSharePhone phone);
    void addQRRecipient(const QuickSharePhone& phone);
    std::optional<QRSend> matchingQRSend(const QuickSharePhone& phone, const std::optional<Uuid>& sessionId) const;
    std::optional<QRCodeSession> qrSession(const QuickSharePhone& phone, const Uuid& sessionId) const;
    void updateRecipient(const std::optional<std::string>& recipientId, const std::optional<Uuid>& sessionId,
                         const RecipientChange& change);
    void send(const Files& files, const QuickSharePhone& phone);
    void sendToAllPhones();

signals:
    void sharingModeChanged();
    void startedChanged();
    void incomingCountChanged();
    void peerChecksChanged();
    void stagedChanged();
    void transfersChanged();
    void incomingChanged();
    void statusMessageChanged();
    void deviceNameChanged();
    void downloadFolderChanged();
    void cancelersChanged();
    void quickSharePhonesChanged();
    void qrSendChanged();
    void qrTasksChanged();
    void receiveFromAndroidChanged();
    void advertisingReadyChanged();
    void renameTaskChanged();
    void quickReceiveTransfersChanged();
    void webReceiveChanged();
    void webServerChanged();
    void webUploadIDsChanged();
    void airDropChanged();

private:
    struct SendJob;
    friend struct AppModelAccess;

    template <class T>
    void assign(T& field, T value, void (AppModel::*changed)()) {
        if (field == value) return;
        field = std::move(value);
        (this->*changed)();
    }
    // Queued hops from engine threads; they touch no member until they run on the GUI thread.
    static void postFoundPhones(QPointer<AppModel> model, std::vector<QuickSharePhone> phones);
    static void postMatchedQR(QPointer<AppModel> model, QuickSharePhone phone);
    static void postError(QPointer<AppModel> model, std::string message);
    // Takes or turns away the connection where it was accepted, then hops to the GUI.
    static void postConnection(QPointer<AppModel> model, const std::shared_ptr<IncomingAdmission>& admission,
                               std::shared_ptr<ByteStream> stream, std::optional<QuickReceiveSession> session);

    void setStatusMessage(std::string message);
    void setStarted(bool value);
    void setAdvertisingReady(bool value);
    // Discovery, advertising, sessions, questions and transfers all stop.
    void stopEverything();

    // Receiving
    void runIncomingTransfer(std::shared_ptr<ByteStream> stream, std::optional<QuickReceiveSession> session,
                             const Uuid& id, CancelSignal cancel);
    void askQuickShare(const Uuid& id, const QuickShareOffer& offer, const std::optional<QuickReceiveSession>& session,
                       std::function<void(bool)> reply);
    bool acceptIntoSession(const Uuid& id, const QuickShareOffer& offer, const QuickReceiveSession& session);
    void showIncoming(const Uuid& id, const QuickShareOffer& offer, std::function<void(bool)> resolve);
    // Asks the user about the offer of row `id` now.
    void promptFor(const Uuid& id, const QuickShareOffer& offer, std::function<void(bool)> reply);
    // With no prompt shown, asks the waiting offer whose host was asked least recently.
    void askNextOffer();
    // The offer of row `id`, if it waits for its turn, stops waiting, declined.
    void withdrawWaitingOffer(const Uuid& id);
    // The shown offer is declined without the user's answer: its row tells `why`.
    void declineIncoming(const std::string& why);
    // Receiving stops: the shown offer and every waiting one are declined, their rows "Cancelled".
    void declineOffers();
    void finishIncoming(const Uuid& id, std::exception_ptr error, const Files& saved);
    // Tells when the number of running places has moved since it was last told.
    void noteIncomingCount();
    // The row of a connection that never offered goes, with its place in the receive sheet.
    void removeSilentRow(const Uuid& id);
    bool isFlowCancelled(const Uuid& id) const;
    // A file of the receive `id` got its final name: a one-file row names it so.
    void noteReceivedFile(const Uuid& id, const Path& file);

    // Sending
    std::shared_ptr<SendJob> sendFiles(const Files& files, const QuickSharePhone& phone,
                                       const std::optional<std::string>& recipientId,
                                       const std::optional<Uuid>& sessionId);
    void confirmPeer(const std::shared_ptr<SendJob>& job, const std::string& pin, std::function<void(bool)> reply);
    void askPeerCheck(const Uuid& id, const std::optional<std::string>& recipientId,
                      const std::optional<Uuid>& sessionId, const std::string& pin, std::function<void(bool)> reply);
    void applySendStatus(const std::shared_ptr<SendJob>& job, const QuickShareSender::Status& status);
    void applySendProgress(const std::shared_ptr<SendJob>& job, std::int64_t done, std::int64_t total);
    void finishSend(const std::shared_ptr<SendJob>& job, std::exception_ptr error);

    // Web receive
    void webServerStarted(const std::shared_ptr<WebReceiveServer>& server, const QuickReceiveSession& session,
                          std::optional<std::string> url, std::string error);
    // Stops the running web upload shown by the row `transferId`, if there is one, and then its
    // later events no longer reach the row. True when the server had already settled it (saved
    // or failed): the row then keeps waiting for that outcome instead of turning "Cancelled".
    bool cancelWebUpload(const Uuid& transferId);
    // The row of an upload the server saved at `saved`: done, named as saved.
    void markWebUploadSaved(const Uuid& transferId, const std::filesystem::path& saved);
    // Stops the upload server, if one runs: the uploads it had settled end as it tells, the
    // session's other active rows "Cancelled". Returns the server it stopped.
    std::shared_ptr<WebReceiveServer> stopWebServer();
    // Quitting: ends the wait once no transfer and no web upload runs any more, or when the
    // time is up.
    void settleQuit(bool timeUp);

    Settings settings_;
    AppModelServices services_;
    std::unique_ptr<PromptPresenter> prompt_;

    std::optional<SharingMode> sharingMode_;
    bool started_ = false;
    std::map<Uuid, std::function<void(bool)>> peerChecks_;
    std::map<Uuid, std::unique_ptr<QTimer>> peerCheckTimers_;
    Files staged_;
    std::vector<TransferItem> transfers_;
    std::optional<IncomingRequest> incoming_;
    QTimer promptTimer_;
    // Offers waiting for the prompt while another is shown, in arrival order; each holds a place.
    struct WaitingOffer {
        Uuid id;
        QuickShareOffer offer;
        std::function<void(bool)> reply;
    };
    std::vector<WaitingOffer> waitingOffers_;
    std::vector<std::string> askedHosts_;  // by when each was last asked, least recently first
    std::optional<std::string> statusMessage_;
    std::string deviceName_;
    Path downloadFolder_;
    std::map<Uuid, std::function<void()>> cancelers_;
    std::map<Uuid, CancelSignal> flowCancels_;  // the cancel signal of each running flow
    // The incoming connections holding a place; shared with the thread that accepts them.
    std::shared_ptr<IncomingAdmission> admission_ = std::make_shared<IncomingAdmission>();
    int toldIncomingCount_ = 0;
    // What each running receive has saved so far, of how many offered files.
    struct ReceivedSoFar {
        std::size_t offered = 0;
        Files saved;
    };
    std::map<Uuid, ReceivedSoFar> receivedSoFar_;
    std::vector<QuickSharePhone> quickSharePhones_;
    std::optional<QRSend> qrSend_;
    std::map<std::string, std::function<void()>> qrTasks_;
    bool receiveFromAndroid_ = true;
    bool advertisingReady_ = false;
    QTimer renameTimer_;
    std::map<Uuid, Uuid> quickReceiveTransfers_;
    std::optional<WebReceive> webReceive_;
    std::shared_ptr<WebReceiveServer> webServer_;
    std::map<Uuid, Uuid> webUploadIDs_;
    std::shared_ptr<AirDropHandoff> airDrop_;
    bool quitting_ = false;
    std::function<void()> quitSettled_;  // set while quit() waits
    bool webUploadsOpen_ = false;        // a stopped server still answering its uploads
};

}  // namespace velmo
