// P-256 keys for key agreement (ECDH) and signing (ECDSA with SHA-256).
#pragma once
#include <memory>

#include "platform/Bytes.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace velmo {

// A P-256 public key. Copies share one immutable key; safe to use from several threads.
class P256PublicKey {
public:
    static constexpr std::size_t coordinateSize = 32;
    static constexpr std::size_t rawSize = 64;
    static constexpr std::size_t compressedSize = 33;

    // From x ‖ y (32 bytes each, big-endian). Throws InvalidKeyError for a wrong length or a
    // point that is not on the curve.
    static P256PublicKey fromRaw(ByteView raw);
    static P256PublicKey fromCoordinates(ByteView x, ByteView y);

    // x ‖ y, 64 bytes.
    const Bytes& raw() const { return raw_; }
    // 0x02 or 0x03 (the parity of y), then x: 33 bytes.
    Bytes compressed() const;

    // Checks an ECDSA-SHA256 signature given as r ‖ s (64 bytes); false for any other length.
    bool verify(ByteView message, ByteView signature) const;

    EVP_PKEY* native() const { return key_.get(); }

    friend bool operator==(const P256PublicKey& a, const P256PublicKey& b) { return a.raw_ == b.raw_; }

private:
    P256PublicKey(std::shared_ptr<EVP_PKEY> key, Bytes raw);

    std::shared_ptr<EVP_PKEY> key_;
    Bytes raw_;
};

// A P-256 private key, used both for key agreement and for signing.
class P256PrivateKey {
public:
    static constexpr std::size_t scalarSize = 32;
    static constexpr std::size_t signatureSize = 64;

    static P256PrivateKey generate();
    // From the 32-byte big-endian scalar d, 1 ≤ d < n; throws InvalidKeyError otherwise.
    static P256PrivateKey fromScalar(ByteView scalar);

    const P256PublicKey& publicKey() const { return public_; }

    // The 32-byte x-coordinate of the shared point.
    Bytes sharedSecret(const P256PublicKey& peer) const;

    // ECDSA with SHA-256 over message, as r ‖ s (64 bytes, not DER).
    Bytes sign(ByteView message) const;

private:
    P256PrivateKey(std::shared_ptr<EVP_PKEY> key, P256PublicKey publicKey);

    std::shared_ptr<EVP_PKEY> key_;
    P256PublicKey public_;
};

}  // namespace velmo
