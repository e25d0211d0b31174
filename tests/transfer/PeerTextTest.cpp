#include <gtest/gtest.h>

#include "transfer/PeerText.h"

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
    // Line and paragraph separators, byte-order mark, zero-width space and word joiner.
    EXPECT_EQ(peerText("Pixel\u2028" "9\u2029" "\ufeffPro\u200b!\u2060"), "Pixel9Pro!");
    // A zero-width joiner holds an emoji sequence together, a non-joiner Persian letters apart;
    // next to ASCII or at an end they only hide.
    EXPECT_EQ(peerText("Dad \U0001F468\u200d\U0001F467"), "Dad \U0001F468\u200d\U0001F467");
    EXPECT_EQ(peerText("\u0645\u06cc\u200c\u062e"), "\u0645\u06cc\u200c\u062e");
    EXPECT_EQ(peerText("\u200dPix\u200del\u200c \u00e9\u200d"), "Pixel \u00e9");
    // Beside another joiner, an invisible or dropped character, white space or a broken
    // sequence a joiner joins nothing either.
    EXPECT_EQ(peerText("\u00e9\u200d\u200d\u00e9|\u00e9\u200c\u200b\u00e9|\u00e9\u200d\u3000|\u00e9\u200d\xff"),
              "\u00e9\u200d\u00e9|\u00e9\u00e9|\u00e9\u3000|\u00e9\ufffd");
    EXPECT_EQ(peerText("\u00e9\u200d\u202e\u00e9|\u00e9\u200d\xc2\x85\u00e9|\u3000\u200d\u00e9|\xff\u200d\u00e9"),
              "\u00e9\u00e9|\u00e9\u00e9|\u3000\u00e9|\ufffd\u00e9");
    // The Arabic letter mark, the word joiner and the invisible operators.
    EXPECT_EQ(peerText("a\u061cb\u2060c\u2061d\u2062e\u2063f\u2064g"), "abcdefg");
    EXPECT_EQ(withoutInvisibles("a\u061cb\u2060c\u2061d\u2062e\u2063f\u2064g\u200b\ufeff\u200e\u200f"), "abcdefg");
    // Whatever else Unicode calls default-ignorable; variation selectors only where they pick a
    // form, tags only as a flag's region, also when a cut goes through the flag.
    EXPECT_EQ(peerText("\u00adPix\u034fel\u115f \u180e9\u206a\u206f\u3164\uffa0\U000E0020\U000E007F"), "Pixel 9");
    EXPECT_EQ(peerName("\u3164\uffa0\u00ad"), "Android phone");
    EXPECT_EQ(peerText("\ufe0fA\ufe0f \u263a\ufe0f\ufe0f #\ufe0f\u20e3"), "A \u263a\ufe0f #\ufe0f\u20e3");
    EXPECT_EQ(peerText("\u2764\ufe0f\u200d\U0001F525 1\ufe0f\u200d\u00e9"),
              "\u2764\ufe0f\u200d\U0001F525 1\ufe0f\u00e9");
    const std::string scotland = "\U0001F3F4\U000E0067\U000E0062\U000E0073\U000E0063\U000E0074\U000E007F";
    EXPECT_EQ(peerText("Ann " + scotland), "Ann " + scotland);
    EXPECT_EQ(peerText("Ann " + scotland + "!", 16), "Ann \U0001F3F4\u2026");
    EXPECT_EQ(withoutInvisibles("\u00ad.\U000E0041b"), ".b");
    // Only what shows as nothing: controls and reordering characters are the caller's to handle.
    EXPECT_EQ(withoutInvisibles("a\x01\u202eb\xff"), "a\x01\u202eb\ufffd");
    EXPECT_EQ(peerName("\u2028\ufeff\u200b"), "Android phone");
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

// A phone's name is cut at the cap through three- and four-byte characters whole: never a
// broken sequence, and the ellipsis always fits.
TEST(PeerText, NameCapCutsLongCharactersWhole) {
    std::string han, emoji;
    for (int i = 0; i < 100; ++i) han += "\u4e2d";          // 3 bytes each
    for (int i = 0; i < 70; ++i) emoji += "\U0001F642";     // 4 bytes each
    struct Case {
        std::string name;
        std::string kept;  // before the ellipsis
    };
    for (const auto& c : std::vector<Case>{{han, han.substr(0, 3 * 84)},
                                           {"ab" + han, "ab" + han.substr(0, 3 * 83)},
                                           {emoji, emoji.substr(0, 4 * 63)},
                                           {"a" + emoji, "a" + emoji.substr(0, 4 * 62)},
                                           {"abc" + emoji, "abc" + emoji.substr(0, 4 * 62)}}) {
        const std::string shown = peerName(c.name);
        EXPECT_EQ(shown, c.kept + "\u2026") << c.name.size();
        EXPECT_LE(shown.size(), peerNameLimit);
    }
    EXPECT_EQ(peerText(emoji, 9), "\U0001F642\u2026");
    EXPECT_EQ(peerText("a" + han, 8), "a\u4e2d\u2026");
}

}  // namespace
}  // namespace velmo
