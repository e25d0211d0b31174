// One receive session: web uploads and the Quick Share offers accepted inside it share its
// authorization and its byte and file limits. Copies share both objects.
#pragma once
#include <memory>

#include "platform/Uuid.h"
#include "quickshare/QuickShareReceiveAuthorization.h"
#include "transfer/ReceiveSessionBudget.h"

namespace velmo {

struct QuickReceiveSession {
    Uuid id;
    std::shared_ptr<QuickShareReceiveAuthorization> authorization;
    std::shared_ptr<ReceiveSessionBudget> budget;

    // A fresh session: new id, active authorization, full budget.
    static QuickReceiveSession make();
};

}  // namespace velmo
