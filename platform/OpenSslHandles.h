// Owners for OpenSSL objects and the checks every call goes through. Private to platform/.
#pragma once
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>

#include <memory>

#include "platform/Bytes.h"
#include "platform/CryptoError.h"

namespace velmo::ossl {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};

using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Mac = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC_free>>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;
using Bignum = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using EcGroup = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>>;

// The reason code of the most recent queued error (-1 when none); empties the queue.
inline int takeErrorReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    return code == 0 ? -1 : ERR_GET_REASON(code);
}

// Throws CryptoError naming what could not be done; empties the error queue first.
[[noreturn]] inline void fail(const char* what) {
    ERR_clear_error();
    throw CryptoError(std::string("The system's cryptography library could not ") + what + ".");
}

inline void check(int result, const char* what) {
    if (result != 1) fail(what);
}

template <class Handle>
Handle own(typename Handle::pointer p, const char* what) {
    if (p == nullptr) fail(what);
    return Handle(p);
}

// A pointer that is never null, for OpenSSL calls that refuse null even with a zero length.
inline const unsigned char* nonNull(ByteView bytes) {
    static const unsigned char none = 0;
    return bytes.empty() ? &none : bytes.data();
}

}  // namespace velmo::ossl
