// SHA-256 and SHA-512 of byte strings.
#pragma once
#include "platform/Bytes.h"

namespace velmo {

Bytes sha256(ByteView data);  // 32 bytes
Bytes sha512(ByteView data);  // 64 bytes

}  // namespace velmo
