#include "transfer/ReceiveSessionBudget.h"

namespace velmo {

bool ReceiveSessionBudget::reserve(const std::vector<std::int64_t>& fileSizes) {
    std::lock_guard guard(lock);
    if (fileSizes.empty()) return false;
    if (static_cast<std::uint64_t>(remainingFiles_) < fileSizes.size()) return false;
    std::int64_t sum = 0;
    for (const auto size : fileSizes) {
        // Read as unsigned, a negative size is huge and refused with the oversized ones.
        if (static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(maxFileBytes)) return false;
        if (__builtin_add_overflow(sum, size, &sum)) return false;
    }
    if (remainingBytes_ < sum) return false;
    remainingBytes_ -= sum;
    remainingFiles_ -= static_cast<std::int64_t>(fileSizes.size());
    return true;
}

std::int64_t ReceiveSessionBudget::remainingBytes() const {
    std::lock_guard guard(lock);
    return remainingBytes_;
}

std::int64_t ReceiveSessionBudget::remainingFiles() const {
    std::lock_guard guard(lock);
    return remainingFiles_;
}

}  // namespace velmo
