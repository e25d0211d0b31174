// Ed25519 signature checks (RFC 8032).
#pragma once
#include "platform/Bytes.h"

namespace velmo {

constexpr std::size_t ed25519PublicKeySize = 32;
constexpr std::size_t ed25519SignatureSize = 64;

// True only for a valid signature of message under publicKey; false for wrong lengths and
// keys that do not decode.
bool ed25519Verify(ByteView publicKey, ByteView message, ByteView signature);

}  // namespace velmo
