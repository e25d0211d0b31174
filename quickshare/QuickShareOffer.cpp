#include "quickshare/QuickShareOffer.h"

#include <limits>

namespace velmo {

std::int64_t QuickShareOffer::totalSize() const {
    std::int64_t total = 0;
    for (const auto& file : files) {
        if (__builtin_add_overflow(total, file.size, &total)) {
            return file.size < 0 ? std::numeric_limits<std::int64_t>::min()
                                 : std::numeric_limits<std::int64_t>::max();
        }
    }
    return total;
}

}  // namespace velmo
