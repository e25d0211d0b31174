#include "ReleaseKey.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace velmo::release {
namespace {

EVP_PKEY* pkey(void* key) { return static_cast<EVP_PKEY*>(key); }

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

}  // namespace

void ReleaseKey::Free::operator()(void* key) const { EVP_PKEY_free(pkey(key)); }

ReleaseKey ReleaseKey::generate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!key) throw std::runtime_error("could not generate an Ed25519 key");
    return ReleaseKey(key);
}

ReleaseKey ReleaseKey::load(const std::filesystem::path& pem) {
    File file(std::fopen(pem.c_str(), "rb"));
    if (!file) throw std::runtime_error("cannot read the key " + pem.string());
    EVP_PKEY* key = PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr);
    if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        throw std::runtime_error(pem.string() + " holds no Ed25519 private key");
    }
    return ReleaseKey(key);
}

void ReleaseKey::save(const std::filesystem::path& pem) const {
    const int fd = ::open(pem.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + pem.string() + " (it must not exist yet)");
    File file(::fdopen(fd, "wb"));
    if (!file) {
        ::close(fd);
        throw std::runtime_error("cannot write " + pem.string());
    }
    if (PEM_write_PrivateKey(file.get(), pkey(key_.get()), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        std::fflush(file.get()) != 0 || ::fsync(fd) != 0)
        throw std::runtime_error("cannot write " + pem.string());
}

Bytes ReleaseKey::publicKey() const {
    Bytes out(32);
    std::size_t n = out.size();
    if (EVP_PKEY_get_raw_public_key(pkey(key_.get()), out.data(), &n) != 1 || n != out.size())
        throw std::runtime_error("cannot read the public key");
    return out;
}

Bytes ReleaseKey::sign(ByteView message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    Bytes out(64);
    std::size_t n = out.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pkey(key_.get())) != 1 ||
        EVP_DigestSign(ctx.get(), out.data(), &n, message.data(), message.size()) != 1 || n != out.size())
        throw std::runtime_error("signing failed");
    return out;
}

}  // namespace velmo::release
