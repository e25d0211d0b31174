#include "platform/EcKey.h"

#include <openssl/core_names.h>
#include <openssl/obj_mac.h>

#include <algorithm>

#include "platform/OpenSslHandles.h"

namespace velmo {

namespace {

constexpr const char* groupName = "prime256v1";

[[noreturn]] void invalidPublicKey() {
    ERR_clear_error();
    throw InvalidKeyError("The key is not a valid P-256 public key.");
}

[[noreturn]] void invalidPrivateKey() {
    ERR_clear_error();
    throw InvalidKeyError("The key is not a valid P-256 private key.");
}

std::shared_ptr<EVP_PKEY> share(ossl::PKey key) { return {key.release(), EVP_PKEY_free}; }

void appendPadded(Bytes& out, const BIGNUM* value) {
    const std::size_t at = out.size();
    out.resize(at + P256PublicKey::coordinateSize);
    if (BN_bn2binpad(value, out.data() + at, static_cast<int>(P256PublicKey::coordinateSize)) < 0) {
        ossl::fail("write a key coordinate");
    }
}

ossl::PKey keyFromParams(OSSL_PARAM_BLD* builder, int selection, void (*refuse)()) {
    auto params = ossl::own<ossl::Params>(OSSL_PARAM_BLD_to_param(builder), "prepare a key");
    auto ctx = ossl::own<ossl::PKeyCtx>(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), "prepare a key");
    ossl::check(EVP_PKEY_fromdata_init(ctx.get()), "prepare a key");
    EVP_PKEY* made = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &made, selection, params.get()) != 1 || made == nullptr) refuse();
    return ossl::PKey(made);
}

ossl::EcdsaSig derSignature(const Bytes& der) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    return ossl::own<ossl::EcdsaSig>(sig, "read a signature");
}

}  // namespace

P256PublicKey::P256PublicKey(std::shared_ptr<EVP_PKEY> key, Bytes raw) : key_(std::move(key)), raw_(std::move(raw)) {}

P256PublicKey P256PublicKey::fromRaw(ByteView raw) {
    if (raw.size() != rawSize) invalidPublicKey();
    Bytes point;
    point.reserve(1 + rawSize);
    point.push_back(0x04);
    point.insert(point.end(), raw.begin(), raw.end());

    auto builder = ossl::own<ossl::ParamBld>(OSSL_PARAM_BLD_new(), "prepare a key");
    ossl::check(OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, groupName, 0),
                "prepare a key");
    ossl::check(OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
                "prepare a key");
    ossl::PKey key = keyFromParams(builder.get(), EVP_PKEY_PUBLIC_KEY, invalidPublicKey);

    // Importing already refuses points off the curve; the full check also refuses the
    // point at infinity and coordinates outside the field.
    auto checkCtx = ossl::own<ossl::PKeyCtx>(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), "check a key");
    if (EVP_PKEY_public_check(checkCtx.get()) != 1) invalidPublicKey();
    return P256PublicKey(share(std::move(key)), Bytes(raw.begin(), raw.end()));
}

P256PublicKey P256PublicKey::fromCoordinates(ByteView x, ByteView y) {
    if (x.size() != coordinateSize || y.size() != coordinateSize) invalidPublicKey();
    Bytes raw(x.begin(), x.end());
    raw.insert(raw.end(), y.begin(), y.end());
    return fromRaw(raw);
}

Bytes P256PublicKey::compressed() const {
    Bytes out;
    out.reserve(compressedSize);
    out.push_back((raw_.back() & 1) != 0 ? 0x03 : 0x02);
    out.insert(out.end(), raw_.begin(), raw_.begin() + coordinateSize);
    return out;
}

bool P256PublicKey::verify(ByteView message, ByteView signature) const {
    if (signature.size() != P256PrivateKey::signatureSize) return false;
    auto sig = ossl::own<ossl::EcdsaSig>(ECDSA_SIG_new(), "check a signature");
    ossl::Bignum r(BN_bin2bn(signature.data(), 32, nullptr));
    ossl::Bignum s(BN_bin2bn(signature.data() + 32, 32, nullptr));
    if (!r || !s) ossl::fail("check a signature");
    ossl::check(ECDSA_SIG_set0(sig.get(), r.get(), s.get()), "check a signature");
    r.release();  // now owned by sig
    s.release();

    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0) ossl::fail("check a signature");
    const Bytes derBytes(der, der + derLength);
    OPENSSL_free(der);

    auto ctx = ossl::own<ossl::MdCtx>(EVP_MD_CTX_new(), "check a signature");
    ossl::check(EVP_DigestVerifyInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, key_.get(), nullptr),
                "check a signature");
    const int result = EVP_DigestVerify(ctx.get(), derBytes.data(), derBytes.size(), ossl::nonNull(message),
                                        message.size());
    ERR_clear_error();
    return result == 1;
}

P256PrivateKey::P256PrivateKey(std::shared_ptr<EVP_PKEY> key, P256PublicKey publicKey)
    : key_(std::move(key)), public_(std::move(publicKey)) {}

P256PrivateKey P256PrivateKey::generate() {
    ossl::PKey key = ossl::own<ossl::PKey>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), "make a key");
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    const bool ok = EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
                    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
    ossl::Bignum ownX(x);
    ossl::Bignum ownY(y);
    if (!ok) ossl::fail("read a public key");
    Bytes raw;
    appendPadded(raw, x);
    appendPadded(raw, y);
    return P256PrivateKey(share(std::move(key)), P256PublicKey::fromRaw(raw));
}

P256PrivateKey P256PrivateKey::fromScalar(ByteView scalar) {
    if (scalar.size() != scalarSize) invalidPrivateKey();
    auto group = ossl::own<ossl::EcGroup>(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1), "prepare a key");
    auto d = ossl::own<ossl::Bignum>(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr),
                                     "prepare a key");
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) invalidPrivateKey();

    auto bnCtx = ossl::own<ossl::BnCtx>(BN_CTX_new(), "prepare a key");
    auto point = ossl::own<ossl::EcPoint>(EC_POINT_new(group.get()), "prepare a key");
    ossl::check(EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, bnCtx.get()), "prepare a key");
    Bytes encoded(1 + P256PublicKey::rawSize);
    if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(), encoded.size(),
                           bnCtx.get()) != encoded.size()) {
        ossl::fail("prepare a key");
    }

    auto builder = ossl::own<ossl::ParamBld>(OSSL_PARAM_BLD_new(), "prepare a key");
    ossl::check(OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, groupName, 0),
                "prepare a key");
    ossl::check(OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()), "prepare a key");
    ossl::check(
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded.data(), encoded.size()),
        "prepare a key");
    ossl::PKey key = keyFromParams(builder.get(), EVP_PKEY_KEYPAIR, invalidPrivateKey);
    return P256PrivateKey(share(std::move(key)), P256PublicKey::fromRaw(ByteView(encoded).subspan(1)));
}

Bytes P256PrivateKey::sharedSecret(const P256PublicKey& peer) const {
    auto ctx = ossl::own<ossl::PKeyCtx>(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr),
                                        "agree on a shared secret");
    ossl::check(EVP_PKEY_derive_init(ctx.get()), "agree on a shared secret");
    ossl::check(EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.native(), 1), "agree on a shared secret");
    std::size_t length = 0;
    ossl::check(EVP_PKEY_derive(ctx.get(), nullptr, &length), "agree on a shared secret");
    Bytes secret(length);
    ossl::check(EVP_PKEY_derive(ctx.get(), secret.data(), &length), "agree on a shared secret");
    if (length != P256PublicKey::coordinateSize) ossl::fail("agree on a shared secret");
    secret.resize(length);
    return secret;
}

Bytes P256PrivateKey::sign(ByteView message) const {
    auto ctx = ossl::own<ossl::MdCtx>(EVP_MD_CTX_new(), "sign");
    ossl::check(EVP_DigestSignInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, key_.get(), nullptr), "sign");
    std::size_t length = 0;
    ossl::check(EVP_DigestSign(ctx.get(), nullptr, &length, ossl::nonNull(message), message.size()), "sign");
    Bytes der(length);
    ossl::check(EVP_DigestSign(ctx.get(), der.data(), &length, ossl::nonNull(message), message.size()), "sign");
    der.resize(length);

    const ossl::EcdsaSig sig = derSignature(der);
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    Bytes out;
    appendPadded(out, r);
    appendPadded(out, s);
    return out;
}

}  // namespace velmo
