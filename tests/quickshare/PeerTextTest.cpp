#include <gtest/gtest.h>

#include "quickshare/PeerText.h"

namespace velmo {
namespace {

TEST(PeerText, KeepsOrdinaryText) {
    EXPECT_EQ(peerText("bad version"), "bad version");
    EXPECT_EQ(peerText("Zoë’s Pixel 🙂"), "Zoë’s Pixel 🙂");
    EXPECT_EQ(peerText(""), "");
}

TEST(PeerText, DropsControlAndDirectionCharacters) {
    EXPECT_EQ(peerText("a\nb\r\tc\x1b[31m"), "abc[31m");
    EXPECT_EQ(peerText(std::string("x\0y", 3)), "xy");
    EXPECT_EQ(peerText("a\x7f" "b\xc2\x85" "c"), "abc");                 // DEL and NEL (C1)
    EXPECT_EQ(peerText("evil\xe2\x80\xaegnp.exe"), "evilgnp.exe");        // right-to-left override
    EXPECT_EQ(peerText("a\xe2\x81\xa6" "b\xe2\x80\x8f"), "ab");           // isolate, RTL mark
}

TEST(PeerText, ReplacesInvalidUtf8) {
    EXPECT_EQ(peerText("a\xff" "b"), "a\xef\xbf\xbd" "b");
    EXPECT_EQ(peerText("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");          // overlong '/'
    EXPECT_EQ(peerText("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // surrogate
    EXPECT_EQ(peerText("ab\xe2\x82"), "ab\xef\xbf\xbd\xef\xbf\xbd");     // cut sequence
}

TEST(PeerText, CapsOnACharacterBoundary) {
    EXPECT_EQ(peerText(std::string(120, 'a')), std::string(120, 'a'));
    const std::string cut = peerText(std::string(121, 'a'));
    std::string expected(117, 'a');
    expected.append("\u2026");
    EXPECT_EQ(cut, expected);
    EXPECT_EQ(cut.size(), 120u);
    // Two-byte characters: never half of one.
    std::string many;
    for (int i = 0; i < 100; ++i) many += "ö";
    const std::string capped = peerText(many, 11);
    EXPECT_EQ(capped, "öööö\u2026");
    EXPECT_EQ(peerText("abcdef", 2), "");  // no room for anything but a partial ellipsis
}

}  // namespace
}  // namespace velmo
