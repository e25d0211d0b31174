// The one Quick Share offer waiting for the user's answer.
#pragma once
#include <functional>

#include "platform/Uuid.h"
#include "quickshare/QuickShareOffer.h"

namespace velmo {

struct IncomingRequest {
    Uuid id;  // the receiving row the offer belongs to
    QuickShareOffer offer;
    // Called once, on the GUI thread, with true to accept.
    std::function<void(bool accept)> resolve;
};

}  // namespace velmo
