#include "platform/RandomSource.h"

#include <limits>
#include <stdexcept>

#include "platform/Random.h"

namespace velmo {
namespace {

class SystemRandomSource final : public RandomSource {
public:
    void fill(std::span<std::uint8_t> out) override { fillRandom(out); }
};

}  // namespace

Bytes RandomSource::bytes(std::size_t n) {
    Bytes out(n);
    fill(out);
    return out;
}

std::int64_t RandomSource::uniform(std::int64_t low, std::int64_t high) {
    if (low > high) throw std::invalid_argument("RandomSource::uniform: empty range");
    // Width of the range minus one, computed without overflow.
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    std::uint64_t value = 0;
    if (span == std::numeric_limits<std::uint64_t>::max()) {
        fill(std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value));
    } else {
        // Rejection sampling: draws above the largest multiple of the range width are
        // thrown away so every value is equally likely.
        const std::uint64_t width = span + 1;
        const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() -
                                    std::numeric_limits<std::uint64_t>::max() % width;
        do {
            fill(std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value));
        } while (value >= limit);
        value %= width;
    }
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + value);
}

std::shared_ptr<RandomSource> RandomSource::system() {
    static const auto source = std::make_shared<SystemRandomSource>();
    return source;
}

}  // namespace velmo
