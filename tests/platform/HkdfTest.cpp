#include <gtest/gtest.h>

#include "platform/CryptoError.h"
#include "platform/Hkdf.h"
#include "platform/Hmac.h"
#include "support/NistVectors.h"

namespace velmo {
namespace {

using test::vectors::readVectors;

TEST(HkdfSha256, MatchesRfc5869IncludingTheEmptySalt) {
    const auto records = readVectors("KDF/rfc-5869-HKDF-SHA256.txt");
    ASSERT_EQ(records.size(), 3u);
    bool sawEmptySalt = false;
    for (const auto& r : records) {
        const Bytes salt = r.bytes("salt");
        sawEmptySalt = sawEmptySalt || salt.empty();
        const Bytes okm = hkdfSha256(r.bytes("IKM"), salt, r.bytes("info"), std::stoul(r.text("L")));
        EXPECT_EQ(okm, r.bytes("OKM")) << "COUNT = " << r.text("COUNT");
    }
    EXPECT_TRUE(sawEmptySalt);
}

TEST(HkdfSha256, EmptySaltEqualsZeroSaltOfHashLength) {
    const Bytes ikm = toBytes("input key material");
    const Bytes info = toBytes("advertisingContext");
    EXPECT_EQ(hkdfSha256(ikm, {}, info, 16), hkdfSha256(ikm, Bytes(32, 0), info, 16));
}

TEST(HkdfSha256, IsExtractThenExpand) {
    const Bytes ikm = toBytes("secret");
    const Bytes salt = toBytes("UKEY2 v1 auth");
    const Bytes info = toBytes("info");
    const Bytes prk = hmacSha256(salt, ikm);
    Bytes block = info;
    block.push_back(0x01);
    EXPECT_EQ(hkdfSha256(ikm, salt, info, 32), hmacSha256(prk, block));
}

TEST(HkdfSha256, RefusesImpossibleLengths) {
    const Bytes ikm = toBytes("k");
    EXPECT_THROW(hkdfSha256(ikm, {}, {}, 0), CryptoError);
    EXPECT_THROW(hkdfSha256(ikm, {}, {}, 255 * 32 + 1), CryptoError);
    EXPECT_EQ(hkdfSha256(ikm, {}, {}, 255 * 32).size(), 255u * 32);
}

}  // namespace
}  // namespace velmo
