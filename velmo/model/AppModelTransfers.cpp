// The transfer list: updaters keyed by row id (unknown ids change nothing), cancel, clear.
#include "velmo/model/AppModelGui.h"

#include <algorithm>

namespace velmo {

using State = TransferItem::State;

void AppModel::updateTransfer(const Uuid& id, const std::function<void(TransferItem&)>& change) {
    for (auto& item : transfers_) {
        if (item.id == id) {
            change(item);
            emit transfersChanged();
            return;
        }
    }
}

void AppModel::addTransfer(TransferItem row) {
    transfers_.insert(transfers_.begin(), std::move(row));
    // Whatever a neighbour keeps opening, the list stays bounded: the oldest finished rows go.
    std::size_t finished = 0;
    bool sheetRowsGone = false;
    std::erase_if(transfers_, [&](const TransferItem& t) {
        if (t.state.isActive() || ++finished <= keptFinishedRows) return false;
        // The receive sheet shows rows of the list: an id it keeps would be kept for ever.
        if (webReceive_ && webReceive_->transferIDs.erase(t.id)) sheetRowsGone = true;
        return true;
    });
    emit transfersChanged();
    if (sheetRowsGone) emit webReceiveChanged();
}

void AppModel::setTransferProgress(const Uuid& id, std::int64_t done, std::int64_t total) {
    updateTransfer(id, [&](TransferItem& t) {
        t.done = done;
        t.total = total;
    });
}

void AppModel::setTransferDone(const Uuid& id, std::int64_t bytes) {
    updateTransfer(id, [&](TransferItem& t) { t.done = bytes; });
}

void AppModel::setTransferState(const Uuid& id, State state) {
    updateTransfer(id, [&](TransferItem& t) { t.state = state; });
}

void AppModel::markTransferConnecting(const Uuid& id) { setTransferState(id, State::connecting()); }

void AppModel::showTransferCode(const Uuid& id, const std::string& pin) {
    updateTransfer(id, [&](TransferItem& t) {
        t.code = pin;
        t.state = State::awaitingAccept();
    });
}

void AppModel::showPeerCheck(const Uuid& id, const std::string& pin) {
    updateTransfer(id, [&](TransferItem& t) {
        t.code = pin;
        t.needsPeerCheck = true;
        t.state = State::awaitingAccept();
    });
}

void AppModel::clearPeerCheck(const Uuid& id) {
    updateTransfer(id, [](TransferItem& t) { t.needsPeerCheck = false; });
}

void AppModel::markTransferReceived(const Uuid& id, const Files& urls) {
    updateTransfer(id, [&](TransferItem& t) {
        t.state = State::done();
        t.savedURLs = urls;
        t.done = t.total;
    });
}

void AppModel::markTransferDone(const Uuid& id) {
    updateTransfer(id, [](TransferItem& t) {
        t.state = State::done();
        t.done = t.total;
    });
}

void AppModel::markTransferDeclined(const Uuid& id) {
    updateTransfer(id, [](TransferItem& t) {
        if (t.state.isActive()) t.state = State::declined();
    });
}

void AppModel::markTransferCancelled(const Uuid& id) { failTransferIfActive(id, "Cancelled"); }

void AppModel::failTransferIfActive(const Uuid& id, const std::string& message) {
    updateTransfer(id, [&](TransferItem& t) {
        if (t.state.isActive()) t.state = State::failed(message);
    });
}

void AppModel::failTransfer(const Uuid& id, const std::string& message) {
    setTransferState(id, State::failed(message));
}

void AppModel::applyOffer(const Uuid& id, const QuickShareOffer& offer, State state) {
    std::vector<std::string> names;
    for (const auto& file : offer.files) names.push_back(file.name);
    updateTransfer(id, [&](TransferItem& t) {
        t.peer = offer.senderName;
        t.code = offer.pin;
        t.total = offer.totalSize();
        t.state = state;
        t.summary = TransferItem::summaryFor(names);
    });
}

void AppModel::applyAirDropResult(const Uuid& id, bool completed, const std::optional<std::string>& message) {
    setTransferState(id, completed ? State::done() : State::failed(message.value_or("Cancelled")));
}

void AppModel::cancelTransfer(const Uuid& id) {
    if (incoming_ && incoming_->id == id) answerIncoming(false);
    withdrawWaitingOffer(id);
    answerPeerCheck(id, false);
    auto found = cancelers_.find(id);
    if (found != cancelers_.end()) {
        auto cancel = found->second;
        cancel();
    }
    if (cancelWebUpload(id)) return;
    // A finished row keeps its outcome: files already saved or delivered were not cancelled.
    markTransferCancelled(id);
}

void AppModel::clearFinished() {
    auto active = std::stable_partition(transfers_.begin(), transfers_.end(),
                                        [](const TransferItem& t) { return t.state.isActive(); });
    if (active == transfers_.end()) return;
    transfers_.erase(active, transfers_.end());
    emit transfersChanged();
}

}  // namespace velmo
