// The small cryptographic operations the handshakes and secure messages share: AES-256-CBC
// with the engine's error text, the 4-digit PIN, and P-256 public keys in the protocol's
// GenericPublicKey record.
#pragma once
#include <span>
#include <string>

#include "platform/Bytes.h"
#include "platform/EcKey.h"

namespace velmo {

// AES-256-CBC with PKCS#7 padding. Any failure (wrong key or IV length, bad padding) is
// QuickShareError::crypto("AES-CBC failed (<status>)") with the library's reason code.
Bytes aesCbc(bool encrypt, ByteView key, ByteView iv, ByteView data);

// The same into caller-owned memory of at least data.size() + 16 bytes; returns the length.
std::size_t aesCbcInto(bool encrypt, ByteView key, ByteView iv, ByteView data, std::span<std::uint8_t> out);

// Encrypts the pieces as one plaintext, into memory of at least their size + 16 bytes.
std::size_t aesCbcEncryptInto(ByteView key, ByteView iv, std::span<const ByteView> pieces, std::span<std::uint8_t> out);

// The four digits both people compare, "0000" to "9972".
std::string pinCode(ByteView authString);

// A coordinate as the protocol writes it: a signed big-endian integer, so a 32-byte value
// whose top bit is set gets a 0x00 in front.
Bytes wireCoordinate(ByteView coordinate);

// Back to exactly 32 bytes: leading zeros dropped, then padded; more than 32 significant
// bytes is QuickShareError::protocolError("bad EC coordinate").
Bytes coordinateFromWire(ByteView wire);

// The encoded securemessage.GenericPublicKey (type EC_P256) of key.
Bytes genericPublicKey(const P256PublicKey& key);

// Reads a phone's encoded GenericPublicKey. Throws the codec's DecodingError,
// QuickShareError::protocolError("unsupported public key") for another kind of key,
// "bad EC coordinate" as above, and InvalidKeyError for a point not on the curve.
P256PublicKey p256PublicKey(ByteView encoded);

}  // namespace velmo
