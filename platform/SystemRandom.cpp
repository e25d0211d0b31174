#include "platform/SystemRandom.h"

#include <sys/random.h>

#include <cerrno>
#include <limits>
#include <stdexcept>

#include "platform/Error.h"

namespace velmo {

namespace {

std::uint64_t draw() {
    std::uint64_t value = 0;
    auto* out = reinterpret_cast<unsigned char*>(&value);
    std::size_t done = 0;
    while (done < sizeof value) {
        const ssize_t got = getrandom(out + done, sizeof value - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Error("The system's random number generator failed.");
        }
        done += static_cast<std::size_t>(got);
    }
    return value;
}

}  // namespace

std::uint64_t systemRandomBelow(std::uint64_t bound) {
    if (bound == 0) throw std::invalid_argument("systemRandomBelow: bound must be positive");
    // Reject the top partial range so every value is equally likely.
    const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % bound;
    for (;;) {
        const std::uint64_t value = draw();
        if (value < limit) return value % bound;
    }
}

std::uint64_t systemRandomInRange(std::uint64_t low, std::uint64_t high) {
    if (low > high) throw std::invalid_argument("systemRandomInRange: low exceeds high");
    const std::uint64_t span = high - low;
    if (span == std::numeric_limits<std::uint64_t>::max()) return draw();
    return low + systemRandomBelow(span + 1);
}

}  // namespace velmo
