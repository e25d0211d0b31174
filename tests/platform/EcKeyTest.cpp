#include <gtest/gtest.h>

#include "platform/CryptoError.h"
#include "platform/EcKey.h"
#include "support/NistVectors.h"

namespace velmo {
namespace {

using test::vectors::fromHex;
using test::vectors::readVectors;

// NIST files drop leading zero digits and write out-of-range values with extra digits.
Bytes coordinate(const std::string& hex) { return fromHex(hex.size() % 2 ? "0" + hex : hex); }

P256PublicKey publicKey(const test::vectors::Record& r, const std::string& x, const std::string& y) {
    return P256PublicKey::fromCoordinates(coordinate(r.text(x)), coordinate(r.text(y)));
}

int reasonNumber(const std::string& result) {
    // "F (8 - Z changed )" -> 8
    const auto open = result.find('(');
    return std::stoi(result.substr(open + 1));
}

TEST(P256, SharedSecretsMatchTheNistKeyAgreementVectors) {
    int checked = 0;
    for (const auto& r : readVectors("asymmetric/ECDH/KASValidityTest_ECCStaticUnified_NOKC_ZZOnly_init.fax")) {
        if (r.section != "EC - SHA256") continue;
        ++checked;
        const std::string result = r.text("Result");
        const std::string label = "COUNT " + r.text("COUNT") + ": " + result;
        switch (result[0] == 'P' ? 0 : reasonNumber(result)) {
        case 0: {
            const auto ours = P256PrivateKey::fromScalar(coordinate(r.text("dsIUT")));
            EXPECT_EQ(ours.publicKey(), publicKey(r, "QsIUTx", "QsIUTy")) << label;
            EXPECT_EQ(ours.sharedSecret(publicKey(r, "QsCAVSx", "QsCAVSy")), coordinate(r.text("Z"))) << label;
            break;
        }
        case 1:
        case 2:
            EXPECT_THROW(publicKey(r, "QsCAVSx", "QsCAVSy"), InvalidKeyError) << label;
            break;
        case 5:
        case 6:
            EXPECT_THROW(publicKey(r, "QsIUTx", "QsIUTy"), InvalidKeyError) << label;
            break;
        case 7: {
            const auto ours = P256PrivateKey::fromScalar(coordinate(r.text("dsIUT")));
            EXPECT_NE(ours.publicKey(), publicKey(r, "QsIUTx", "QsIUTy")) << label;
            break;
        }
        case 8: {
            const auto ours = P256PrivateKey::fromScalar(coordinate(r.text("dsIUT")));
            EXPECT_NE(ours.sharedSecret(publicKey(r, "QsCAVSx", "QsCAVSy")), coordinate(r.text("Z"))) << label;
            break;
        }
        default:
            ADD_FAILURE() << "unexpected result " << label;
        }
    }
    EXPECT_EQ(checked, 30);
}

TEST(P256, PublicKeyValidationMatchesNist) {
    int valid = 0;
    int invalid = 0;
    for (const auto& r : readVectors("asymmetric/ECDSA/FIPS_186-3/PKV.rsp")) {
        if (r.section != "P-256") continue;
        const Bytes x = coordinate(r.text("Qx"));
        const Bytes y = coordinate(r.text("Qy"));
        if (r.text("Result")[0] == 'P') {
            const auto key = P256PublicKey::fromCoordinates(x, y);
            Bytes raw = x;
            raw.insert(raw.end(), y.begin(), y.end());
            EXPECT_EQ(key.raw(), raw);
            ++valid;
        } else {
            EXPECT_THROW(P256PublicKey::fromCoordinates(x, y), InvalidKeyError) << r.text("Qx");
            ++invalid;
        }
    }
    EXPECT_EQ(valid, 4);
    EXPECT_EQ(invalid, 8);
}

TEST(P256, SignatureChecksMatchNist) {
    int checked = 0;
    for (const auto& r : readVectors("asymmetric/ECDSA/FIPS_186-3/SigVer.rsp")) {
        if (r.section != "P-256,SHA-256") continue;
        ++checked;
        Bytes signature = coordinate(r.text("R"));
        const Bytes s = coordinate(r.text("S"));
        signature.insert(signature.end(), s.begin(), s.end());
        const bool expected = r.text("Result")[0] == 'P';
        bool verified = false;
        try {
            verified = publicKey(r, "Qx", "Qy").verify(r.bytes("Msg"), signature);
        } catch (const InvalidKeyError&) {
            verified = false;  // a changed key may fall off the curve
        }
        EXPECT_EQ(verified, expected) << r.text("Result");
    }
    EXPECT_EQ(checked, 15);
}

TEST(P256, SignaturesAreRawSixtyFourBytesAndVerify) {
    const auto key = P256PrivateKey::generate();
    const Bytes message = toBytes("auth string");
    const Bytes signature = key.sign(message);
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_TRUE(key.publicKey().verify(message, signature));
    EXPECT_FALSE(key.publicKey().verify(toBytes("other"), signature));
    Bytes altered = signature;
    altered[63] ^= 1;
    EXPECT_FALSE(key.publicKey().verify(message, altered));
    EXPECT_FALSE(key.publicKey().verify(message, ByteView(signature).first(63)));
    EXPECT_FALSE(key.publicKey().verify(message, Bytes(64, 0)));
    EXPECT_FALSE(P256PrivateKey::generate().publicKey().verify(message, signature));
}

TEST(P256, KeyAgreementIsSymmetric) {
    const auto a = P256PrivateKey::generate();
    const auto b = P256PrivateKey::generate();
    const Bytes secret = a.sharedSecret(b.publicKey());
    EXPECT_EQ(secret.size(), 32u);
    EXPECT_EQ(secret, b.sharedSecret(a.publicKey()));
    EXPECT_NE(a.publicKey(), b.publicKey());
}

TEST(P256, CompressedFormIsParityThenX) {
    for (int i = 0; i < 8; ++i) {
        const auto key = P256PrivateKey::generate().publicKey();
        const Bytes compressed = key.compressed();
        ASSERT_EQ(compressed.size(), 33u);
        EXPECT_EQ(compressed[0], (key.raw()[63] & 1) ? 0x03 : 0x02);
        EXPECT_EQ(Bytes(compressed.begin() + 1, compressed.end()), Bytes(key.raw().begin(), key.raw().begin() + 32));
    }
}

TEST(P256, RefusesWrongLengthsAndInvalidPoints) {
    const auto raw = P256PrivateKey::generate().publicKey().raw();
    for (std::size_t n : {0, 32, 63, 65}) {
        EXPECT_THROW(P256PublicKey::fromRaw(Bytes(n, 1)), InvalidKeyError) << n;
    }
    EXPECT_THROW(P256PublicKey::fromRaw(Bytes(64, 0)), InvalidKeyError);
    EXPECT_THROW(P256PublicKey::fromCoordinates(ByteView(raw).first(31), ByteView(raw).subspan(32)), InvalidKeyError);
    Bytes offCurve = raw;
    offCurve[63] ^= 1;
    EXPECT_THROW(P256PublicKey::fromRaw(offCurve), InvalidKeyError);
    // x = p (the field prime) is outside the field.
    const Bytes p = fromHex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
    EXPECT_THROW(P256PublicKey::fromCoordinates(p, ByteView(raw).subspan(32)), InvalidKeyError);
}

TEST(P256, RefusesScalarsOutsideTheGroupOrder) {
    const Bytes order = fromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    Bytes belowOrder = order;
    belowOrder[31] -= 1;
    EXPECT_THROW(P256PrivateKey::fromScalar(Bytes(32, 0)), InvalidKeyError);
    EXPECT_THROW(P256PrivateKey::fromScalar(order), InvalidKeyError);
    EXPECT_THROW(P256PrivateKey::fromScalar(Bytes(32, 0xff)), InvalidKeyError);
    EXPECT_THROW(P256PrivateKey::fromScalar(Bytes(31, 1)), InvalidKeyError);
    EXPECT_NO_THROW(P256PrivateKey::fromScalar(belowOrder));
    Bytes one(32, 0);
    one[31] = 1;
    // 1·G is the generator.
    EXPECT_EQ(P256PrivateKey::fromScalar(one).publicKey().raw(),
              fromHex("6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
                      "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5"));
}

TEST(P256, ImportedScalarSignsForItsPublicKey) {
    Bytes scalar(32, 0);
    scalar[31] = 4;
    const auto key = P256PrivateKey::fromScalar(scalar);
    const Bytes signature = key.sign(toBytes("m"));
    EXPECT_TRUE(key.publicKey().verify(toBytes("m"), signature));
    const auto copy = key;  // copies share the key
    EXPECT_EQ(copy.publicKey(), key.publicKey());
    EXPECT_TRUE(copy.publicKey().verify(toBytes("m"), copy.sign(toBytes("m"))));
}

}  // namespace
}  // namespace velmo
