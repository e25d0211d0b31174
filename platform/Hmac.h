// HMAC-SHA256 and constant-time comparison.
#pragma once
#include "platform/Bytes.h"

namespace velmo {

constexpr std::size_t hmacSha256Size = 32;

Bytes hmacSha256(ByteView key, ByteView data);

// True when mac is the HMAC-SHA256 of data under key; compared in constant time.
bool hmacSha256Verify(ByteView key, ByteView data, ByteView mac);

// Equal lengths and equal bytes; the time taken depends only on the lengths.
bool constantTimeEqual(ByteView a, ByteView b);

}  // namespace velmo
