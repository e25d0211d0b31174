#include "velmo/model/QuickReceiveSession.h"

namespace velmo {

QuickReceiveSession QuickReceiveSession::make() {
    return QuickReceiveSession{Uuid::random(), std::make_shared<QuickShareReceiveAuthorization>(),
                               std::make_shared<ReceiveSessionBudget>()};
}

}  // namespace velmo
