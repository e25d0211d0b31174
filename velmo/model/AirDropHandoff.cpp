#include "velmo/model/AirDropHandoff.h"

namespace velmo {

void AirDropHandoff::didShareItems() {
    // The model may drop this object from inside the callback.
    auto done = done_;
    if (done) done(true, std::nullopt);
}

void AirDropHandoff::didFailToShareItems(bool userCancelled, const std::string& description) {
    auto done = done_;
    if (done) done(false, userCancelled ? std::string("Cancelled") : description);
}

}  // namespace velmo
