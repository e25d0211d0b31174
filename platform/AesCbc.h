// AES-256-CBC, with PKCS#7 padding or on whole blocks only.
#pragma once
#include <span>

#include "platform/Bytes.h"

namespace velmo {

constexpr std::size_t aes256KeySize = 32;
constexpr std::size_t aesBlockSize = 16;

enum class CbcPadding { pkcs7, none };

// Both throw CipherError (with the library's reason code as status) for a key that is not
// 32 bytes, an IV that is not 16 bytes, a ciphertext that is not whole blocks, bad padding,
// or input without padding that is not whole blocks.
Bytes aes256CbcEncrypt(ByteView key, ByteView iv, ByteView plaintext, CbcPadding padding = CbcPadding::pkcs7);
Bytes aes256CbcDecrypt(ByteView key, ByteView iv, ByteView ciphertext, CbcPadding padding = CbcPadding::pkcs7);

// The same into caller-owned memory, so large messages need no fresh buffer each: `out`
// must hold at least the input's size plus one block (std::length_error otherwise). Returns
// the number of bytes written.
std::size_t aes256CbcEncryptInto(ByteView key, ByteView iv, ByteView plaintext, std::span<std::uint8_t> out,
                                 CbcPadding padding = CbcPadding::pkcs7);
// Encrypts the pieces as one plaintext, so a message assembled from parts needs no copy.
std::size_t aes256CbcEncryptInto(ByteView key, ByteView iv, std::span<const ByteView> plaintext,
                                 std::span<std::uint8_t> out, CbcPadding padding = CbcPadding::pkcs7);
std::size_t aes256CbcDecryptInto(ByteView key, ByteView iv, ByteView ciphertext, std::span<std::uint8_t> out,
                                 CbcPadding padding = CbcPadding::pkcs7);

}  // namespace velmo
