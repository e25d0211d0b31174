#include "platform/AesCbc.h"

#include <algorithm>
#include <stdexcept>

#include "platform/OpenSslHandles.h"

namespace velmo {

namespace {

[[noreturn]] void refuse(int status) {
    ERR_clear_error();
    throw CipherError("The data could not be encrypted or decrypted.", status);
}

std::size_t run(bool encrypt, ByteView key, ByteView iv, std::span<const ByteView> inputs,
                std::span<std::uint8_t> out, CbcPadding padding) {
    std::size_t inputSize = 0;
    for (const auto& input : inputs) inputSize += input.size();
    if (out.size() < inputSize + aesBlockSize) throw std::length_error("AES-CBC output buffer too small");
    // OpenSSL reads as many key and IV bytes as the cipher wants without knowing our lengths.
    if (key.size() != aes256KeySize) refuse(EVP_R_INVALID_KEY_LENGTH);
    if (iv.size() != aesBlockSize) refuse(EVP_R_INVALID_IV_LENGTH);
    if (!encrypt && inputSize % aesBlockSize != 0) refuse(EVP_R_WRONG_FINAL_BLOCK_LENGTH);

    ERR_clear_error();
    ossl::CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) refuse(ossl::takeErrorReason());
    if (EVP_CipherInit_ex2(ctx.get(), EVP_aes_256_cbc(), key.data(), iv.data(), encrypt ? 1 : 0, nullptr) != 1) {
        refuse(ossl::takeErrorReason());
    }
    if (EVP_CIPHER_CTX_set_padding(ctx.get(), padding == CbcPadding::pkcs7 ? 1 : 0) != 1) {
        refuse(ossl::takeErrorReason());
    }

    std::size_t written = 0;
    // The library counts in int; feed large inputs in pieces.
    constexpr std::size_t piece = std::size_t{1} << 30;
    for (const auto& input : inputs) {
        for (std::size_t at = 0; at < input.size(); at += piece) {
            const int length = static_cast<int>(std::min(piece, input.size() - at));
            int produced = 0;
            if (EVP_CipherUpdate(ctx.get(), out.data() + written, &produced, input.data() + at, length) != 1) {
                refuse(ossl::takeErrorReason());
            }
            written += static_cast<std::size_t>(produced);
        }
    }
    int produced = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + written, &produced) != 1) refuse(ossl::takeErrorReason());
    written += static_cast<std::size_t>(produced);
    return written;
}

std::size_t run(bool encrypt, ByteView key, ByteView iv, ByteView input, std::span<std::uint8_t> out,
                CbcPadding padding) {
    return run(encrypt, key, iv, std::span<const ByteView>(&input, 1), out, padding);
}

Bytes run(bool encrypt, ByteView key, ByteView iv, ByteView input, CbcPadding padding) {
    Bytes out(input.size() + aesBlockSize);
    out.resize(run(encrypt, key, iv, input, out, padding));
    return out;
}

}  // namespace

Bytes aes256CbcEncrypt(ByteView key, ByteView iv, ByteView plaintext, CbcPadding padding) {
    return run(true, key, iv, plaintext, padding);
}

Bytes aes256CbcDecrypt(ByteView key, ByteView iv, ByteView ciphertext, CbcPadding padding) {
    return run(false, key, iv, ciphertext, padding);
}

std::size_t aes256CbcEncryptInto(ByteView key, ByteView iv, ByteView plaintext, std::span<std::uint8_t> out,
                                 CbcPadding padding) {
    return run(true, key, iv, plaintext, out, padding);
}

std::size_t aes256CbcEncryptInto(ByteView key, ByteView iv, std::span<const ByteView> plaintext,
                                 std::span<std::uint8_t> out, CbcPadding padding) {
    return run(true, key, iv, plaintext, out, padding);
}

std::size_t aes256CbcDecryptInto(ByteView key, ByteView iv, ByteView ciphertext, std::span<std::uint8_t> out,
                                 CbcPadding padding) {
    return run(false, key, iv, ciphertext, out, padding);
}

}  // namespace velmo
