#include <gtest/gtest.h>

#include <string>

#include "ProtoTestSupport.h"
#include "platform/Utf8.h"

namespace velmo::proto {
namespace {

TEST(Utf8, AcceptsWellFormedText) {
    for (const char* text : {"", "plain", "00", "C2 80", "DF BF", "E0 A0 80", "ED 9F BF", "EE 80 80", "EF BF BF",
                             "F0 90 80 80", "F4 8F BF BF", "5A 6F C3 AB 00 41"}) {
        const Bytes bytes = std::string(text) == "plain" ? toBytes("Photo (1).jpg") : unhex(text);
        EXPECT_TRUE(Utf8::isValid(std::string(bytes.begin(), bytes.end()))) << text;
    }
}

TEST(Utf8, RejectsMalformedText) {
    for (const char* text : {
             "80",           // continuation without a lead
             "C0 80",        // overlong NUL
             "C1 BF",        // overlong
             "E0 9F BF",     // overlong three-byte form
             "ED A0 80",     // surrogate
             "F0 8F BF BF",  // overlong four-byte form
             "F4 90 80 80",  // above U+10FFFF
             "F5 80 80 80",  // invalid lead
             "FF",           // invalid lead
             "C3",           // truncated
             "E2 82",        // truncated
             "E2 28 A1",     // bad continuation
             "F0 9F 93 41",  // bad last continuation
         }) {
        const Bytes bytes = unhex(text);
        EXPECT_FALSE(Utf8::isValid(std::string(bytes.begin(), bytes.end()))) << text;
    }
}

TEST(Utf8, PrefixNeverSplitsACharacter) {
    const std::string text = "ab\xC3\xA9\xF0\x9F\x93\xB7";  // "ab", e-acute (2 bytes), camera (4 bytes)
    const struct {
        std::size_t maxBytes;
        std::string_view expected;
    } cases[] = {{0, ""}, {2, "ab"}, {3, "ab"}, {4, "ab\xC3\xA9"}, {7, "ab\xC3\xA9"}, {8, text}, {100, text}};
    for (const auto& c : cases) EXPECT_EQ(Utf8::prefix(text, c.maxBytes), c.expected) << c.maxBytes;
}

}  // namespace
}  // namespace velmo::proto
