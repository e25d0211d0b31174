// The system's cryptographically secure random source.
#pragma once
#include <cstddef>
#include <span>

#include "platform/Bytes.h"

namespace velmo {

// Fills `out` with random bytes; throws velmo::Error when the generator fails.
void fillRandom(std::span<std::uint8_t> out);

// n random bytes; throws velmo::Error when the generator fails.
Bytes randomBytes(std::size_t n);

}  // namespace velmo
