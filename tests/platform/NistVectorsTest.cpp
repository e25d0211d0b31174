#include <gtest/gtest.h>

#include "support/NistVectors.h"

namespace velmo::test::vectors {
namespace {

TEST(NistVectors, SplitsRecordsOnRepeatedKeysAndKeepsSections) {
    const auto records = parse(
        "# comment\n"
        "[Keylen = 128]\n[IVlen = 96]\n\n"
        "Count = 0\nKey = 00ff\n\nsalt =\nFAIL\n\n"
        "Count = 1\nKey = AB\n"
        "[DECRYPT]\n"
        "COUNT = 0\n");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].parameters.at("Keylen"), "128");
    EXPECT_EQ(records[0].parameters.at("IVlen"), "96");
    EXPECT_EQ(records[0].bytes("Key"), (Bytes{0x00, 0xff}));
    EXPECT_TRUE(records[0].bytes("salt").empty());
    EXPECT_EQ(records[0].flags.count("FAIL"), 1u);
    EXPECT_EQ(records[1].text("Count"), "1");
    EXPECT_EQ(records[1].bytes("Key"), (Bytes{0xab}));
    EXPECT_TRUE(records[1].flags.empty());
    EXPECT_EQ(records[2].section, "DECRYPT");
    EXPECT_TRUE(records[2].parameters.empty());
}

TEST(NistVectors, HexRoundTripsAndRefusesBadDigits) {
    EXPECT_EQ(toHex(fromHex("00A1ff")), "00a1ff");
    EXPECT_THROW(fromHex("abc"), std::invalid_argument);
    EXPECT_THROW(fromHex("zz"), std::invalid_argument);
}

}  // namespace
}  // namespace velmo::test::vectors
