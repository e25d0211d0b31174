#include "velmo/model/TransferItem.h"

#include "transfer/FileNaming.h"

namespace velmo {

double TransferItem::fraction() const {
    if (total >= 1) return static_cast<double>(done) / static_cast<double>(total);
    return state.kind() == State::Kind::done ? 1.0 : 0.0;
}

std::string TransferItem::summaryFor(const std::vector<std::string>& names) {
    // A local file's name may hold a direction override as well as a phone's may.
    if (names.size() == 1) return FileNaming::shownName(names.front());
    return std::to_string(names.size()) + " files";
}

}  // namespace velmo
