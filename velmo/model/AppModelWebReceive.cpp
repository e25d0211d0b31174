// The web receive session: an upload server on this computer's private address whose events
// become receiving rows, sharing its limits with Quick Share offers in the quick mode.
#include "velmo/model/AppModelGui.h"

#include <asio/co_spawn.hpp>

namespace velmo {

namespace {

asio::awaitable<std::uint16_t> startServer(std::shared_ptr<WebReceiveServer> server) {
    co_return co_await server->start();
}

}  // namespace

void AppModel::startWebReceive() {
    if (!canShareNow()) return;
    if (webServer_) return;  // open or starting
    cancelQRSend();
    auto address = services_.localAddress();
    if (!address) {
        setStatusMessage("This computer isn't on a Wi-Fi network. Connect to the same Wi-Fi as the phone.");
        return;
    }
    auto session = QuickReceiveSession::make();
    std::string token = WebReceiveServer::makeToken();
    auto server = services_.makeWebServer(services_.uploadPage(deviceName_), downloadFolder_, token, address,
                                          session.budget);
    QPointer<AppModel> self(this);
    std::weak_ptr<WebReceiveServer> weak = server;
    server->setOnEvent([self, weak](const WebReceiveServer::Event& event) {
        gui::post(self, [weak, event](AppModel& m) {
            auto current = weak.lock();
            if (current && m.webServer_ == current) m.handleWebReceiveEvent(event);
        });
    });
    webServer_ = server;
    emit webServerChanged();

    std::string prefix = "http://" + *address + ":";
    std::string suffix = "/?t=" + token;
    asio::co_spawn(services_.executor, startServer(server),
                   [self, weak, session, prefix, suffix](std::exception_ptr error, std::uint16_t port) {
                       std::optional<std::string> url;
                       std::string message;
                       if (!error) {
                           url = prefix + std::to_string(port) + suffix;
                       } else {
                           try {
                               std::rethrow_exception(error);
                           } catch (const std::exception& e) {
                               message = e.what();
                           } catch (...) {
                               message = "Unknown error.";
                           }
                       }
                       gui::post(self, [weak, session, url, message](AppModel& m) {
                           if (auto server = weak.lock()) m.webServerStarted(server, session, url, message);
                       });
                   });
}

void AppModel::webServerStarted(const std::shared_ptr<WebReceiveServer>& server, const QuickReceiveSession& session,
                                std::optional<std::string> url, std::string error) {
    if (url) {
        if (webServer_ == server && isSharingAllowed()) {
            webReceive_ = WebReceive{*url, session, {}};
            emit webReceiveChanged();
            refreshAdvertising();
        } else {
            server->stop();
        }
        return;
    }
    if (webServer_ != server) return;
    server->stop();
    webServer_.reset();
    emit webServerChanged();
    setStatusMessage("Couldn't start receiving: " + error);
}

void AppModel::handleWebReceiveEvent(const WebReceiveServer::Event& event) {
    // An upload that has ended: its row, which its later events no longer reach.
    const auto endUpload = [this](const Uuid& upload) -> std::optional<Uuid> {
        const auto found = webUploadIDs_.find(upload);
        if (found == webUploadIDs_.end()) return std::nullopt;
        const Uuid row = found->second;
        webUploadIDs_.erase(found);
        emit webUploadIDsChanged();
        return row;
    };
    if (const auto* started = std::get_if<WebReceiveServer::Started>(&event)) {
        TransferItem row;
        row.id = Uuid::random();
        row.direction = TransferItem::Direction::receiving;
        row.peer = started->device;
        row.summary = started->name;
        row.total = started->size;
        row.state = TransferItem::State::transferring();
        addTransfer(row);
        webUploadIDs_[started->id] = row.id;
        emit webUploadIDsChanged();
        if (webReceive_) {
            webReceive_->transferIDs.insert(row.id);
            emit webReceiveChanged();
        }
    } else if (const auto* progress = std::get_if<WebReceiveServer::Progress>(&event)) {
        auto found = webUploadIDs_.find(progress->id);
        if (found != webUploadIDs_.end()) setTransferDone(found->second, progress->done);
    } else if (const auto* finished = std::get_if<WebReceiveServer::Finished>(&event)) {
        if (const auto id = endUpload(finished->id)) markWebUploadSaved(*id, finished->url);
    } else if (const auto* failed = std::get_if<WebReceiveServer::Failed>(&event)) {
        if (const auto id = endUpload(failed->id)) failTransfer(*id, failed->message);
    }
}

void AppModel::markWebUploadSaved(const Uuid& transferId, const std::filesystem::path& saved) {
    updateTransfer(transferId, [&](TransferItem& t) {
        t.state = TransferItem::State::done();
        t.done = t.total;
        // The name it was saved under: a second "a.bin" became "a (1).bin".
        t.summary = saved.filename().string();
        t.savedURLs = {saved};
    });
}

bool AppModel::cancelWebUpload(const Uuid& transferId) {
    for (auto it = webUploadIDs_.begin(); it != webUploadIDs_.end(); ++it) {
        if (it->second != transferId) continue;
        // The server decides: an upload it has already saved, or that failed on its own,
        // keeps the outcome its event brings.
        if (webServer_ && !webServer_->cancelUpload(it->first)) return true;
        webUploadIDs_.erase(it);
        emit webUploadIDsChanged();
        return false;
    }
    return false;
}

void AppModel::stopWebReceive() {
    if (webReceive_) {
        webReceive_->quickShareSession.authorization->revoke();
        const Uuid sessionId = webReceive_->quickShareSession.id;
        std::vector<Uuid> receives;
        for (const auto& [transferId, session] : quickReceiveTransfers_)
            if (session == sessionId) receives.push_back(transferId);
        for (const Uuid& id : receives) cancelTransfer(id);
    }
    stopWebServer();
    if (webReceive_) {
        webReceive_.reset();
        emit webReceiveChanged();
    }
    refreshAdvertising();
}

std::shared_ptr<WebReceiveServer> AppModel::stopWebServer() {
    // Stopped first, the server tells how the uploads that had ended went: their rows end
    // done or failed with the reason, though their events, dropped from now on, may not have
    // come yet. The rest are cancelled.
    const auto settled = webServer_ ? webServer_->stop() : WebReceiveServer::SettledUploads{};
    if (webReceive_) {
        const auto ids = webReceive_->transferIDs;
        bool changed = false;
        for (auto it = webUploadIDs_.begin(); it != webUploadIDs_.end();) {
            if (ids.count(it->second)) {
                const auto outcome = settled.find(it->first);
                if (outcome != settled.end()) {
                    if (const auto* finished = std::get_if<WebReceiveServer::Finished>(&outcome->second)) {
                        markWebUploadSaved(it->second, finished->url);
                    } else {
                        failTransfer(it->second, std::get<WebReceiveServer::Failed>(outcome->second).message);
                    }
                }
                it = webUploadIDs_.erase(it);
                changed = true;
            } else {
                ++it;
            }
        }
        for (const Uuid& id : ids) markTransferCancelled(id);
        if (changed) emit webUploadIDsChanged();
    }
    auto server = std::move(webServer_);
    if (server) emit webServerChanged();
    return server;
}

}  // namespace velmo
