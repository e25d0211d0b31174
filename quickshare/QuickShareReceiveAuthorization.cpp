#include "quickshare/QuickShareReceiveAuthorization.h"

namespace velmo {

bool QuickShareReceiveAuthorization::isActive() const {
    std::lock_guard guard(lock_);
    return active_;
}

void QuickShareReceiveAuthorization::revoke() {
    std::lock_guard guard(lock_);
    active_ = false;
}

}  // namespace velmo
