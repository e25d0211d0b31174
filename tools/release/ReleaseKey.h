// The Ed25519 key that signs update feeds and bundle manifests. The private half lives in a
// PEM file outside the repository; the public half goes into every bundle's Info.json.
#pragma once
#include <filesystem>
#include <memory>

#include "platform/Bytes.h"

namespace velmo::release {

class ReleaseKey {
public:
    static ReleaseKey generate();
    // Throws std::runtime_error when the file is missing or holds no Ed25519 private key.
    static ReleaseKey load(const std::filesystem::path& pem);

    // Writes the private key as unencrypted PKCS#8 PEM, mode 0600, never over an existing file.
    void save(const std::filesystem::path& pem) const;
    Bytes publicKey() const;  // 32 raw bytes
    Bytes sign(ByteView message) const;  // 64 bytes

private:
    struct Free {
        void operator()(void* key) const;
    };
    explicit ReleaseKey(void* key) : key_(key) {}
    std::unique_ptr<void, Free> key_;  // EVP_PKEY
};

}  // namespace velmo::release
