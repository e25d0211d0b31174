// Files staged for sending, the two choosers, and the AirDrop hand-off of staged files.
#include "velmo/model/AppModelGui.h"
#include "transfer/FileError.h"
#include "transfer/FileNaming.h"
#include "transfer/PeerText.h"

#include <algorithm>
#include <set>

namespace velmo {

void AppModel::stageUrls(const QList<QUrl>& urls) {
    Files files;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        // By the path's bytes: a name that is not UTF-8 would not survive a QString.
        if (url.host().isEmpty())
            files.emplace_back(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString());
        else
            files.emplace_back(url.toLocalFile().toStdString());
    }
    if (services_.isReplacingApp()) return;
    stageFiles(files);
}

void AppModel::stageFiles(const Files& files) {
    if (services_.isReplacingApp()) return;
    std::optional<Path> firstFolder;
    std::optional<Path> firstSpecial;
    Files regular;
    for (const auto& file : files) {
        std::error_code error;
        // Unreadable entries, missing ones among them, count as files: the send that takes
        // them reports the failure. Pipes, devices and sockets are not: reading one never ends
        // or is not a file's content.
        const auto type = std::filesystem::status(file, error).type();
        if (type == std::filesystem::file_type::directory) {
            if (!firstFolder) firstFolder = file;
        } else if (error || type == std::filesystem::file_type::regular) {
            regular.push_back(file);
        } else if (!firstSpecial) {
            firstSpecial = file;
        }
    }
    // Shown as text: a name that reorders or breaks the banner is cleaned as file names are.
    const auto nameOf = &FileError::nameInSentence;
    if (firstFolder) {
        setStatusMessage("Folders aren't supported yet. Zip " + nameOf(*firstFolder) + " first.");
    } else if (firstSpecial) {
        setStatusMessage("Only regular files can be sent. " + nameOf(*firstSpecial) + " isn't one.");
    }
    // A launch may hand over thousands of files: they are looked up in a set, not the list,
    // and the views, which go through every staged file, redraw once for the call, not per file.
    std::set<Path> present(staged_.begin(), staged_.end());
    const auto before = staged_.size();
    for (const auto& file : regular)
        if (present.insert(file).second) staged_.push_back(file);
    if (staged_.size() != before) emit stagedChanged();
}

void AppModel::reportMissingFiles(const std::vector<std::string>& names) {
    if (names.empty()) return;
    const auto first = isolated(FileNaming::shownName(names.front()));
    if (names.size() == 1) return setStatusMessage("Couldn't add " + first + ": no such file.");
    setStatusMessage("Couldn't add " + first + " and " + std::to_string(names.size() - 1) +
                     " more: no such files.");
}

void AppModel::removeStaged(const Path& file) {
    auto end = std::remove(staged_.begin(), staged_.end(), file);
    if (end == staged_.end()) return;
    staged_.erase(end, staged_.end());
    emit stagedChanged();
}

void AppModel::chooseFiles() {
    if (!services_.chooseFiles) return;
    Files chosen = services_.chooseFiles();
    if (!chosen.empty()) stageFiles(chosen);
}

void AppModel::chooseDownloadFolder() {
    if (!services_.chooseFolder) return;
    if (auto folder = services_.chooseFolder(downloadFolder_)) setDownloadFolder(*folder);
}

void AppModel::clearStaged() {
    if (staged_.empty()) return;
    staged_.clear();
    emit stagedChanged();
}

AppModel::Files AppModel::takeFilesForSending(const Files& files) {
    stageFiles(files);
    const std::set<Path> staged(staged_.begin(), staged_.end());
    std::set<Path> takenSet;
    Files taken;
    // A file listed twice is sent once.
    for (const auto& file : files)
        if (staged.count(file) && takenSet.insert(file).second) taken.push_back(file);
    auto end = std::remove_if(staged_.begin(), staged_.end(), [&](const Path& file) { return takenSet.count(file) > 0; });
    if (end != staged_.end()) {
        staged_.erase(end, staged_.end());
        emit stagedChanged();
    }
    return taken;
}

bool AppModel::isAirDropAvailable() const { return services_.sharing->isAvailable(); }

void AppModel::sendViaAirDrop(const Files& files) {
    if (!canShareNow()) return;
    if (files.empty() || !services_.sharing->isAvailable() || !services_.sharing->canPerform(files)) {
        setStatusMessage("AirDrop isn't available on this computer. Turn on Wi-Fi and Bluetooth.");
        return;
    }
    const bool qrOpen = qrSend_.has_value();
    const std::string recipientId = "airdrop-" + Uuid::random().toString();

    TransferItem row;
    row.id = Uuid::random();
    row.direction = TransferItem::Direction::sending;
    row.peer = "AirDrop";
    std::vector<std::string> names;
    for (const auto& file : files) names.push_back(file.filename().string());
    row.summary = TransferItem::summaryFor(names);
    row.state = TransferItem::State::awaitingAccept();
    const Uuid id = row.id;
    addTransfer(std::move(row));

    if (qrOpen && qrSend_) {
        qrSend_->recipients.push_back(
            QRSend::Recipient{recipientId, "Phone via AirDrop", QRSend::Recipient::Phase::connecting(), 0});
        emit qrSendChanged();
    }

    QPointer<AppModel> self(this);
    auto handoff = std::make_shared<AirDropHandoff>(
        [self, id, recipientId](bool completed, std::optional<std::string> message) {
            if (!self) return;
            self->applyAirDropResult(id, completed, message);
            self->updateRecipient(recipientId, std::nullopt, [&](QRSend::Recipient& r) {
                r.phase = completed ? QRSend::Recipient::Phase::done()
                                    : QRSend::Recipient::Phase::failed(message.value_or("Cancelled"));
            });
            self->airDrop_.reset();
            emit self->airDropChanged();
        });
    airDrop_ = handoff;
    emit airDropChanged();
    services_.sharing->perform(files, handoff);
}

void AppModel::sendStagedViaAirDrop() {
    if (!canShareNow()) return;
    if (staged_.empty()) chooseFiles();
    sendViaAirDrop(takeFilesForSending(staged_));
}

}  // namespace velmo
