// Uniform draws from the operating system's random number generator, for identifiers and
// nonces (keys and IVs take platform/Random.h).
#pragma once
#include <cstdint>

namespace velmo {

// Uniform in [0, bound); bound must be positive. Throws velmo::Error when the generator fails.
std::uint64_t systemRandomBelow(std::uint64_t bound);

// Uniform in [low, high], both included; low must not exceed high.
std::uint64_t systemRandomInRange(std::uint64_t low, std::uint64_t high);

}  // namespace velmo
