// A predictable RandomSource for tests: queued bytes first, then a seeded generator.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/RandomSource.h"

namespace velmo::test {

class DeterministicRandom : public RandomSource {
public:
    explicit DeterministicRandom(std::uint64_t seed = 1) : state_(seed) {}

    void fill(std::span<std::uint8_t> out) override;

    // The next draws return exactly these bytes, in order.
    void queue(ByteView bytes);
    // The next uniform(low, high) returns low + offset (offset must be below the range width).
    void queueUniform(std::uint64_t offset);

    // Bytes handed out so far.
    std::size_t drawn() const;

private:
    std::uint8_t nextByte();

    mutable std::mutex lock_;
    std::deque<std::uint8_t> queued_;
    std::uint64_t state_;
    std::uint64_t word_ = 0;
    int wordBytes_ = 0;
    std::size_t drawn_ = 0;
};

}  // namespace velmo::test
