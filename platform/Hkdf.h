// HKDF with SHA-256 (RFC 5869).
#pragma once
#include "platform/Bytes.h"

namespace velmo {

// length bytes of output, 1 to 8160. An empty salt means the RFC's default salt.
Bytes hkdfSha256(ByteView inputKey, ByteView salt, ByteView info, std::size_t length);

}  // namespace velmo
