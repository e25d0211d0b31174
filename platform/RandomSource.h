// Where the engine takes its random values from, so tests can make them predictable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/Bytes.h"

namespace velmo {

class RandomSource {
public:
    virtual ~RandomSource() = default;

    // Fills `out` with cryptographically secure random bytes; throws velmo::Error on failure.
    virtual void fill(std::span<std::uint8_t> out) = 0;

    Bytes bytes(std::size_t n);

    // A uniformly drawn integer in [low, high]; low must not exceed high.
    std::int64_t uniform(std::int64_t low, std::int64_t high);

    // The system's generator (OpenSSL), shared by every user.
    static std::shared_ptr<RandomSource> system();
};

}  // namespace velmo
