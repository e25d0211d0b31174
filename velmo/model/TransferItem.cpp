#include "velmo/model/TransferItem.h"

namespace velmo {

double TransferItem::fraction() const {
    if (total >= 1) return static_cast<double>(done) / static_cast<double>(total);
    return state.kind() == State::Kind::done ? 1.0 : 0.0;
}

std::string TransferItem::summaryFor(const std::vector<std::string>& names) {
    if (names.size() == 1) return names.front();
    return std::to_string(names.size()) + " files";
}

}  // namespace velmo
