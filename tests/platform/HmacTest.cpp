#include <gtest/gtest.h>

#include "platform/Hmac.h"
#include "support/NistVectors.h"

namespace velmo {
namespace {

using test::vectors::readVectors;

TEST(HmacSha256, MatchesRfc4231) {
    const auto records = readVectors("HMAC/rfc-4231-sha256.txt");
    ASSERT_GE(records.size(), 6u);
    for (const auto& r : records) {
        const Bytes key = r.bytes("Key");
        const Bytes message = r.bytes("Msg");
        EXPECT_EQ(hmacSha256(key, message), r.bytes("MD")) << "Len = " << r.text("Len");
        EXPECT_TRUE(hmacSha256Verify(key, message, r.bytes("MD")));
    }
}

TEST(HmacSha256, EmptyKeyAndMessageWork) {
    const Bytes mac = hmacSha256({}, {});
    EXPECT_EQ(mac.size(), hmacSha256Size);
    EXPECT_TRUE(hmacSha256Verify({}, {}, mac));
}

TEST(HmacSha256, VerifyRefusesAlteredAndShortenedCodes) {
    const Bytes key = toBytes("key");
    const Bytes data = toBytes("header and body");
    Bytes mac = hmacSha256(key, data);
    ASSERT_TRUE(hmacSha256Verify(key, data, mac));

    Bytes flipped = mac;
    flipped[31] ^= 0x01;
    EXPECT_FALSE(hmacSha256Verify(key, data, flipped));
    EXPECT_FALSE(hmacSha256Verify(key, data, ByteView(mac).first(31)));
    EXPECT_FALSE(hmacSha256Verify(key, data, {}));
    EXPECT_FALSE(hmacSha256Verify(toBytes("other key"), data, mac));
}

TEST(ConstantTimeEqual, ComparesLengthAndBytes) {
    EXPECT_TRUE(constantTimeEqual({}, {}));
    EXPECT_TRUE(constantTimeEqual(toBytes("abc"), toBytes("abc")));
    EXPECT_FALSE(constantTimeEqual(toBytes("abc"), toBytes("abd")));
    EXPECT_FALSE(constantTimeEqual(toBytes("abc"), toBytes("ab")));
}

}  // namespace
}  // namespace velmo
