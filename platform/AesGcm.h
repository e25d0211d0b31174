// AES-GCM with a 12-byte nonce and a 16-byte tag; keys of 16, 24 or 32 bytes.
#pragma once
#include "platform/Bytes.h"

namespace velmo {

constexpr std::size_t aesGcmNonceSize = 12;
constexpr std::size_t aesGcmTagSize = 16;

// Returns ciphertext ‖ tag. Throws CryptoError for a wrong key or nonce length.
Bytes aesGcmSeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData);

// Opens ciphertext ‖ tag. Throws AuthenticationError when the tag does not verify (or the
// input is shorter than a tag), CryptoError for a wrong key or nonce length.
Bytes aesGcmOpen(ByteView key, ByteView nonce, ByteView sealed, ByteView associatedData);

}  // namespace velmo
