#include "platform/Hmac.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include "platform/OpenSslHandles.h"

namespace velmo {

Bytes hmacSha256(ByteView key, ByteView data) {
    auto mac = ossl::own<ossl::Mac>(EVP_MAC_fetch(nullptr, "HMAC", nullptr), "compute a message code");
    auto ctx = ossl::own<ossl::MacCtx>(EVP_MAC_CTX_new(mac.get()), "compute a message code");
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    // An empty key still needs a non-null pointer, or the provider reports no key at all.
    ossl::check(EVP_MAC_init(ctx.get(), ossl::nonNull(key), key.size(), params), "compute a message code");
    ossl::check(EVP_MAC_update(ctx.get(), ossl::nonNull(data), data.size()), "compute a message code");
    Bytes out(hmacSha256Size);
    std::size_t length = 0;
    ossl::check(EVP_MAC_final(ctx.get(), out.data(), &length, out.size()), "compute a message code");
    if (length != hmacSha256Size) ossl::fail("compute a message code");
    return out;
}

bool hmacSha256Verify(ByteView key, ByteView data, ByteView mac) {
    return constantTimeEqual(hmacSha256(key, data), mac);
}

bool constantTimeEqual(ByteView a, ByteView b) {
    if (a.size() != b.size()) return false;
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace velmo
