#include "platform/Hkdf.h"

#include <openssl/core_names.h>

#include "platform/OpenSslHandles.h"

namespace velmo {

Bytes hkdfSha256(ByteView inputKey, ByteView salt, ByteView info, std::size_t length) {
    constexpr std::size_t maxLength = 255 * 32;
    if (length == 0 || length > maxLength) {
        throw CryptoError("The requested key length is not possible with HKDF-SHA256.");
    }
    auto kdf = ossl::own<ossl::Kdf>(EVP_KDF_fetch(nullptr, "HKDF", nullptr), "derive a key");
    auto ctx = ossl::own<ossl::KdfCtx>(EVP_KDF_CTX_new(kdf.get()), "derive a key");

    char digest[] = "SHA256";
    // OSSL_PARAM wants mutable pointers but only reads through them.
    auto octets = [](const char* name, ByteView bytes) {
        return OSSL_PARAM_construct_octet_string(
            name, const_cast<unsigned char*>(ossl::nonNull(bytes)), bytes.size());
    };
    OSSL_PARAM params[5];
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = octets(OSSL_KDF_PARAM_KEY, inputKey);
    // An empty salt is passed as no salt at all: the RFC then uses hash-length zeros, which is
    // what an empty salt means, whereas an empty salt parameter is not reliably taken as such.
    if (!salt.empty()) params[n++] = octets(OSSL_KDF_PARAM_SALT, salt);
    if (!info.empty()) params[n++] = octets(OSSL_KDF_PARAM_INFO, info);
    params[n] = OSSL_PARAM_construct_end();

    Bytes out(length);
    ossl::check(EVP_KDF_derive(ctx.get(), out.data(), out.size(), params), "derive a key");
    return out;
}

}  // namespace velmo
