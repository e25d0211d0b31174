// An Ed25519 private key that signs: the release tool's update key, kept as a PEM file outside
// the repository, and the keys tests sign their feeds and bundles with. Checking a signature
// needs only the public key (Ed25519.h).
#pragma once
#include <filesystem>
#include <memory>

#include "platform/Bytes.h"

struct evp_pkey_st;

namespace velmo {

class Ed25519Key {
public:
    static Ed25519Key generate();
    // Throws std::runtime_error when the file is missing or holds no Ed25519 private key.
    static Ed25519Key load(const std::filesystem::path& pem);

    // Writes the private key as unencrypted PKCS#8 PEM, mode 0600, never over an existing file.
    void save(const std::filesystem::path& pem) const;
    Bytes publicKey() const;             // 32 raw bytes
    Bytes sign(ByteView message) const;  // 64 bytes

private:
    struct Free {
        void operator()(evp_pkey_st* key) const;
    };
    explicit Ed25519Key(evp_pkey_st* key) : key_(key) {}
    std::unique_ptr<evp_pkey_st, Free> key_;
};

}  // namespace velmo
