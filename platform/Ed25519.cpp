#include "platform/Ed25519.h"

#include "platform/OpenSslHandles.h"

namespace velmo {

bool ed25519Verify(ByteView publicKey, ByteView message, ByteView signature) {
    if (publicKey.size() != ed25519PublicKeySize || signature.size() != ed25519SignatureSize) return false;
    ossl::PKey key(EVP_PKEY_new_raw_public_key_ex(nullptr, "ED25519", nullptr, publicKey.data(), publicKey.size()));
    if (!key) {
        ERR_clear_error();
        return false;
    }
    auto ctx = ossl::own<ossl::MdCtx>(EVP_MD_CTX_new(), "check a signature");
    ossl::check(EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key.get(), nullptr),
                "check a signature");
    const int result = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), ossl::nonNull(message),
                                        message.size());
    ERR_clear_error();
    return result == 1;
}

}  // namespace velmo
