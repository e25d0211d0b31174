#include "velmo/model/QRSend.h"

#include <algorithm>

namespace velmo {

bool QRSend::hasActiveRecipients() const {
    return std::any_of(recipients.begin(), recipients.end(), [](const Recipient& r) {
        auto kind = r.phase.kind();
        return kind != Recipient::Phase::Kind::failed && kind != Recipient::Phase::Kind::done;
    });
}

}  // namespace velmo
