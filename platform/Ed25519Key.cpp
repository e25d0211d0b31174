#include "platform/Ed25519Key.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "platform/Ed25519.h"
#include "platform/OpenSslHandles.h"

namespace velmo {
namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

}  // namespace

void Ed25519Key::Free::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

Ed25519Key Ed25519Key::generate() {
    return Ed25519Key(ossl::own<ossl::PKey>(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), "make a signing key")
                          .release());
}

Ed25519Key Ed25519Key::load(const std::filesystem::path& pem) {
    File file(std::fopen(pem.c_str(), "rb"));
    if (!file) throw std::runtime_error("cannot read the key " + pem.string());
    ossl::PKey key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        throw std::runtime_error(pem.string() + " holds no Ed25519 private key");
    return Ed25519Key(key.release());
}

void Ed25519Key::save(const std::filesystem::path& pem) const {
    const int fd = ::open(pem.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + pem.string() + " (it must not exist yet)");
    File file(::fdopen(fd, "wb"));
    if (!file) {
        ::close(fd);
        throw std::runtime_error("cannot write " + pem.string());
    }
    if (PEM_write_PrivateKey(file.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        std::fflush(file.get()) != 0 || ::fsync(fd) != 0) {
        ERR_clear_error();
        throw std::runtime_error("cannot write " + pem.string());
    }
}

Bytes Ed25519Key::publicKey() const {
    Bytes out(ed25519PublicKeySize);
    std::size_t n = out.size();
    ossl::check(EVP_PKEY_get_raw_public_key(key_.get(), out.data(), &n), "read a public key");
    if (n != out.size()) ossl::fail("read a public key");
    return out;
}

Bytes Ed25519Key::sign(ByteView message) const {
    auto ctx = ossl::own<ossl::MdCtx>(EVP_MD_CTX_new(), "sign");
    Bytes out(ed25519SignatureSize);
    std::size_t n = out.size();
    ossl::check(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()), "sign");
    ossl::check(EVP_DigestSign(ctx.get(), out.data(), &n, ossl::nonNull(message), message.size()), "sign");
    if (n != out.size()) ossl::fail("sign");
    return out;
}

}  // namespace velmo
