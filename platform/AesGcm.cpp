#include "platform/AesGcm.h"

#include <climits>

#include "platform/OpenSslHandles.h"

namespace velmo {

namespace {

const EVP_CIPHER* cipherFor(ByteView key, ByteView nonce) {
    if (nonce.size() != aesGcmNonceSize) throw CryptoError("The AES-GCM nonce must be 12 bytes.");
    switch (key.size()) {
    case 16: return EVP_aes_128_gcm();
    case 24: return EVP_aes_192_gcm();
    case 32: return EVP_aes_256_gcm();
    default: throw CryptoError("The AES-GCM key must be 16, 24 or 32 bytes.");
    }
}

void checkSize(std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX) - aesGcmTagSize) {
        throw CryptoError("The data is too large to encrypt in one piece.");
    }
}

ossl::CipherCtx start(ByteView key, ByteView nonce, bool encrypt, ByteView associatedData) {
    const EVP_CIPHER* cipher = cipherFor(key, nonce);
    checkSize(associatedData.size());
    auto ctx = ossl::own<ossl::CipherCtx>(EVP_CIPHER_CTX_new(), "prepare a cipher");
    ossl::check(EVP_CipherInit_ex2(ctx.get(), cipher, key.data(), nonce.data(), encrypt ? 1 : 0, nullptr),
                "prepare a cipher");
    if (!associatedData.empty()) {
        int ignored = 0;
        ossl::check(EVP_CipherUpdate(ctx.get(), nullptr, &ignored, associatedData.data(),
                                     static_cast<int>(associatedData.size())),
                    "authenticate data");
    }
    return ctx;
}

}  // namespace

Bytes aesGcmSeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView associatedData) {
    checkSize(plaintext.size());
    auto ctx = start(key, nonce, true, associatedData);
    Bytes out(plaintext.size() + aesGcmTagSize);
    int produced = 0;
    if (!plaintext.empty()) {
        ossl::check(EVP_CipherUpdate(ctx.get(), out.data(), &produced, plaintext.data(),
                                     static_cast<int>(plaintext.size())),
                    "encrypt");
    }
    int tail = 0;
    ossl::check(EVP_CipherFinal_ex(ctx.get(), out.data() + produced, &tail), "encrypt");
    if (static_cast<std::size_t>(produced + tail) != plaintext.size()) ossl::fail("encrypt");
    ossl::check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(aesGcmTagSize),
                                    out.data() + plaintext.size()),
                "encrypt");
    return out;
}

Bytes aesGcmOpen(ByteView key, ByteView nonce, ByteView sealed, ByteView associatedData) {
    cipherFor(key, nonce);
    if (sealed.size() < aesGcmTagSize) throw AuthenticationError();
    checkSize(sealed.size());
    const ByteView ciphertext = sealed.first(sealed.size() - aesGcmTagSize);
    Bytes tag(sealed.end() - aesGcmTagSize, sealed.end());

    auto ctx = start(key, nonce, false, associatedData);
    Bytes out(ciphertext.size());
    int produced = 0;
    if (!ciphertext.empty()) {
        ossl::check(EVP_CipherUpdate(ctx.get(), out.data(), &produced, ciphertext.data(),
                                     static_cast<int>(ciphertext.size())),
                    "decrypt");
    }
    ossl::check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tag.size()), tag.data()),
                "decrypt");
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + produced, &tail) != 1) {
        ERR_clear_error();
        throw AuthenticationError();
    }
    out.resize(static_cast<std::size_t>(produced + tail));
    return out;
}

}  // namespace velmo
