#include "platform/CancelSignal.h"

#include "platform/Error.h"

namespace velmo {

CancelSignal::Registration::Registration(
    std::unique_ptr<std::stop_callback<std::function<void()>>> callback)
    : callback_(std::move(callback)) {}

CancelSignal::Registration::~Registration() = default;

void CancelSignal::cancel() { source_.request_stop(); }

bool CancelSignal::isCancelled() const { return source_.stop_requested(); }

void CancelSignal::throwIfCancelled() const {
    if (isCancelled()) throw Cancelled();
}

CancelSignal::Registration CancelSignal::onCancel(std::function<void()> callback) const {
    return Registration(std::make_unique<std::stop_callback<std::function<void()>>>(
        source_.get_token(), std::move(callback)));
}

}  // namespace velmo
