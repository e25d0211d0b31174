#include <gtest/gtest.h>

#include "platform/AesGcm.h"
#include "platform/CryptoError.h"
#include "support/NistVectors.h"

namespace velmo {
namespace {

using test::vectors::readVectors;

TEST(AesGcm, OpensAndRefusesTheNistDecryptVectors) {
    int opened = 0;
    int refused = 0;
    for (const auto& r : readVectors("ciphers/AES/GCM/gcmDecrypt128.rsp")) {
        // Our boxes always use a 96-bit nonce and a 128-bit tag.
        if (r.parameters.at("IVlen") != "96" || r.parameters.at("Taglen") != "128") continue;
        const Bytes key = r.bytes("Key");
        const Bytes nonce = r.bytes("IV");
        const Bytes aad = r.bytes("AAD");
        Bytes sealed = r.bytes("CT");
        const Bytes tag = r.bytes("Tag");
        sealed.insert(sealed.end(), tag.begin(), tag.end());
        if (r.flags.count("FAIL") != 0) {
            EXPECT_THROW(aesGcmOpen(key, nonce, sealed, aad), AuthenticationError) << "Count " << r.text("Count");
            ++refused;
        } else {
            EXPECT_EQ(aesGcmOpen(key, nonce, sealed, aad), r.bytes("PT")) << "Count " << r.text("Count");
            EXPECT_EQ(aesGcmSeal(key, nonce, r.bytes("PT"), aad), sealed) << "Count " << r.text("Count");
            ++opened;
        }
    }
    EXPECT_GT(opened, 100);
    EXPECT_GT(refused, 50);
}

TEST(AesGcm, SealedBoxesOpenOnlyWithTheSameKeyNonceAndData) {
    const Bytes key(16, 7);
    const Bytes nonce(12, 9);
    const Bytes aad = toBytes("advertising token");
    const Bytes sealed = aesGcmSeal(key, nonce, toBytes("Pixel"), aad);
    ASSERT_EQ(sealed.size(), 5 + aesGcmTagSize);
    EXPECT_EQ(aesGcmOpen(key, nonce, sealed, aad), toBytes("Pixel"));

    EXPECT_THROW(aesGcmOpen(Bytes(16, 8), nonce, sealed, aad), AuthenticationError);
    EXPECT_THROW(aesGcmOpen(key, Bytes(12, 0), sealed, aad), AuthenticationError);
    EXPECT_THROW(aesGcmOpen(key, nonce, sealed, {}), AuthenticationError);
    Bytes altered = sealed;
    altered[0] ^= 1;
    EXPECT_THROW(aesGcmOpen(key, nonce, altered, aad), AuthenticationError);
    EXPECT_THROW(aesGcmOpen(key, nonce, ByteView(sealed).first(15), aad), AuthenticationError);
}

TEST(AesGcm, EmptyPlaintextIsJustATag) {
    const Bytes key(32, 1);
    const Bytes nonce(12, 2);
    const Bytes sealed = aesGcmSeal(key, nonce, {}, {});
    EXPECT_EQ(sealed.size(), aesGcmTagSize);
    EXPECT_TRUE(aesGcmOpen(key, nonce, sealed, {}).empty());
}

TEST(AesGcm, RefusesWrongKeyAndNonceLengths) {
    const Bytes sealed(32, 0);
    for (std::size_t n : {0, 15, 17, 31, 33}) {
        EXPECT_THROW(aesGcmSeal(Bytes(n, 0), Bytes(12, 0), {}, {}), CryptoError) << n;
        EXPECT_THROW(aesGcmOpen(Bytes(n, 0), Bytes(12, 0), sealed, {}), CryptoError) << n;
    }
    for (std::size_t n : {0, 8, 11, 13, 16}) {
        EXPECT_THROW(aesGcmSeal(Bytes(16, 0), Bytes(n, 0), {}, {}), CryptoError) << n;
        EXPECT_THROW(aesGcmOpen(Bytes(16, 0), Bytes(n, 0), sealed, {}), CryptoError) << n;
    }
}

}  // namespace
}  // namespace velmo
