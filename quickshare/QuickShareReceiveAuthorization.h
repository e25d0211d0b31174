// A revocable permission for the receives of one session. Once revoked, no further file of
// the session is prepared and no further chunk is written.
#pragma once
#include <mutex>
#include <utility>

#include "platform/Error.h"

namespace velmo {

class QuickShareReceiveAuthorization {
public:
    QuickShareReceiveAuthorization() = default;
    QuickShareReceiveAuthorization(const QuickShareReceiveAuthorization&) = delete;
    QuickShareReceiveAuthorization& operator=(const QuickShareReceiveAuthorization&) = delete;

    bool isActive() const;

    // Waits for a preparation or chunk write in progress, then refuses every later one.
    void revoke();

    // Runs `work` under the lock while the authorization is active; throws Cancelled once
    // it has been revoked. The lock is held for the whole of `work`, so revoke() cannot
    // return while a write is half done.
    template <class Work>
    decltype(auto) guarded(Work&& work) {
        std::lock_guard guard(lock_);
        if (!active_) throw Cancelled();
        return std::forward<Work>(work)();
    }

private:
    mutable std::mutex lock_;
    bool active_ = true;
};

}  // namespace velmo
