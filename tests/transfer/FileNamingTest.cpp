#include "transfer/FileNaming.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <thread>
#include <utility>

#include "support/TempFolder.h"

namespace velmo {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

std::string repeat(const std::string& unit, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += unit;
    return s;
}

struct SafeNameCase {
    const char* label;
    std::string input;
    std::string expected;
};

void PrintTo(const SafeNameCase& c, std::ostream* os) { *os << c.label; }

class SafeName : public ::testing::TestWithParam<SafeNameCase> {};

TEST_P(SafeName, Table) { EXPECT_EQ(FileNaming::safeName(GetParam().input), GetParam().expected); }

// A family emoji: four people joined by zero-width joiners, one user-perceived character.
const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"
                           "\xE2\x80\x8D\xF0\x9F\x91\xA6";  // 25 bytes
const std::string eAcute = "e\xCC\x81";                   // e + combining acute, 3 bytes

INSTANTIATE_TEST_SUITE_P(
    FileNaming, SafeName,
    ::testing::Values(
        SafeNameCase{"traversal", "../../etc/passwd", "passwd"},
        SafeNameCase{"colon", "a:b", "a_b"},
        SafeNameCase{"onlySlash", "/", "_"},
        SafeNameCase{"manySlashes", "///", "_"},
        SafeNameCase{"trailingSlash", "a/b/", "b"},
        SafeNameCase{"dotDot", "..", "File"},
        SafeNameCase{"dotDotSlash", "../", "File"},
        SafeNameCase{"spaceDotHidden", " .hidden", "hidden"},
        SafeNameCase{"dotSpaceX", ". x", " x"},
        SafeNameCase{"empty", "", "File"},
        SafeNameCase{"onlyDots", "....", "File"},
        SafeNameCase{"onlySpaces", "   ", "File"},
        SafeNameCase{"singleDot", ".", "File"},
        SafeNameCase{"unicodeSpaces", "\xE2\x80\x83 a.txt\xC2\xA0\n", "a.txt"},
        SafeNameCase{"backslashKept", "a\\b.txt", "a\\b.txt"},
        SafeNameCase{"innerDotsKept", "a..b.tar.gz", "a..b.tar.gz"},
        SafeNameCase{"nul", std::string("a\0b.txt", 7), "a_b.txt"},
        SafeNameCase{"controls", "a\x01\x1F\x7F" "b\xC2\x85" "c\xC2\x9F", "a___b_c_"},
        SafeNameCase{"tabInside", "a\tb", "a_b"},
        SafeNameCase{"onlyControl", "\x01", "_"},
        // Direction overrides would show "invoice<RLO>fdp.sh" as "invoicehs.pdf".
        SafeNameCase{"rightToLeftOverride", "invoice\u202Efdp.sh", "invoice_fdp.sh"},
        SafeNameCase{"embeddingsAndIsolates", "a\u202Ab\u202Cc\u2066d\u2069.txt", "a_b_c_d_.txt"},
        SafeNameCase{"lineSeparators", "a\u2028b\u2029.txt", "a_b_.txt"},
        SafeNameCase{"invalidUtf8", "a\xFF.txt", "a\xEF\xBF\xBD.txt"},
        // What shows as nothing is not saved either, so the name the user sees finds the file.
        SafeNameCase{"zeroWidth", "zero\u200Bwidth\u200D.txt", "zerowidth.txt"},
        SafeNameCase{"hiddenBehindInvisible", "\u200B.bashrc", "bashrc"},
        SafeNameCase{"spacesBehindInvisible", "\uFEFF \u200B a.txt \u2060", "a.txt"},
        SafeNameCase{"onlyInvisible", "\u200B\uFEFF\u200D\u2060", "File"},
        SafeNameCase{"joinerBesideSpace", "\u0645\u200C\u3000\u062E\u200D\u3000", "\u0645\u3000\u062E"},
        // Default-ignorable characters outside the fixed table: soft hyphen, combining grapheme
        // joiner, Hangul fillers, the Mongolian vowel separator, deprecated format characters
        // and tags.
        SafeNameCase{"softHyphenBeforeDot", "\u00AD.bashrc", "bashrc"},
        SafeNameCase{"ignorablesInside",
                     "a\u034Fb\u115Fc\u180Ed\u206Ae\u206Ff\u3164g\uFFA0h\U000E0020i\U000E007Fj.txt",
                     "abcdefghij.txt"},
        SafeNameCase{"onlyIgnorables", "\u3164 \uFFA0\U000E0041", "File"},
        // A variation selector stays where it picks an emoji's or a letter's form, nowhere else;
        // tags only as a flag's region.
        SafeNameCase{"emojiSelectorsKept", "\u2764\uFE0F\u200D\U0001F525 1\uFE0F\u20E3 \u8FBB\U000E0100.txt",
                     "\u2764\uFE0F\u200D\U0001F525 1\uFE0F\u20E3 \u8FBB\U000E0100.txt"},
        SafeNameCase{"strandedSelectors", "\uFE0F.x\uFE0Fy \uFE0E\u00E9\uFE0F\uFE0F", "xy \u00E9\uFE0F"},
        SafeNameCase{"flagTagsKept", "\U0001F3F4\U000E0067\U000E0062\U000E0073\U000E0063\U000E0074\U000E007F.png",
                     "\U0001F3F4\U000E0067\U000E0062\U000E0073\U000E0063\U000E0074\U000E007F.png"},
        SafeNameCase{"flagTagsUnended", "\U0001F3F4\U000E0067\U000E0062.png|\U0001F3F4\U000E007F",
                     "\U0001F3F4.png|\U0001F3F4"},
        // Any other run of tags after a black flag goes whole: too long, too short, or not
        // lower-case letters and digits.
        SafeNameCase{"flagTagsOtherRunsDropped",
                     "x\U0001F3F4" + repeat("\U000E0041", 40) + "\U000E007F.txt|\U0001F3F4" + repeat("\U000E0061", 8) +
                         "\U000E007F|\U0001F3F4\U000E0067\U000E0062\U000E007F|\U0001F3F4\U000E0067\U000E0020\U000E0062\U000E007F",
                     "x\U0001F3F4.txt|\U0001F3F4|\U0001F3F4|\U0001F3F4"},
        SafeNameCase{"keycapTextSelectorKept", "1\uFE0E\u20E3.txt", "1\uFE0E\u20E3.txt"},
        SafeNameCase{"joinerLeftByTheCut", repeat("a", 199) + "\u00E9\u200D\u00E9", repeat("a", 199) + "\u00E9"},
        SafeNameCase{"300Letters", repeat("a", 300), repeat("a", 200)},
        SafeNameCase{"200Combining", repeat(eAcute, 201), repeat(eAcute, 80)},
        SafeNameCase{"300WithExtension", repeat("b", 300) + ".jpeg", repeat("b", 200)},
        SafeNameCase{"bytesWithExtension", repeat("\xE4\xB8\xAD", 150) + ".jpeg",
                     repeat("\xE4\xB8\xAD", 78) + ".jpeg"},
        SafeNameCase{"longExtensionNotKept", "a." + repeat("x", 300), "a." + repeat("x", 198)},
        SafeNameCase{"emojiCutOnBoundary", repeat(family, 200), repeat(family, 9)},
        SafeNameCase{"emojiWithExtension", repeat(family, 20) + ".png", repeat(family, 9) + ".png"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SafeName, ByteCapKeepsRoomForCounter) {
    const std::vector<std::string> inputs = {repeat("\xE4\xB8\xAD", 250), repeat(family, 200),
                                             repeat("a", 255) + ".txt", "x" + repeat("\xCC\x81", 400)};
    for (const auto& input : inputs) {
        const auto name = FileNaming::safeName(input);
        EXPECT_LE(name.size(), FileNaming::maxNameBytes);
        EXPECT_LE(name.size() + std::string(" (99999)").size(), 255u);
        EXPECT_FALSE(name.empty());
    }
}

TEST(SafeName, EmojiUnderByteCapCountByCharacter) {
    // 200 flag emoji of 8 bytes each would be 1600 bytes: the cap keeps 30 whole flags.
    const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
    EXPECT_EQ(FileNaming::safeName(repeat(flag, 200)), repeat(flag, 30));
    // Short emoji names stay whole.
    EXPECT_EQ(FileNaming::safeName(repeat(family, 5)), repeat(family, 5));
}

void touch(const fs::path& p) { std::ofstream(p) << "x"; }

TEST(Unique, Table) {
    TempFolder folder;
    EXPECT_EQ(FileNaming::unique(folder / "photo.jpg"), folder / "photo.jpg");
    touch(folder / "photo.jpg");
    touch(folder / "photo (1).jpg");
    EXPECT_EQ(FileNaming::unique(folder / "photo.jpg"), folder / "photo (2).jpg");
    touch(folder / "README");
    EXPECT_EQ(FileNaming::unique(folder / "README"), folder / "README (1)");
    touch(folder / "archive.tar.gz");
    EXPECT_EQ(FileNaming::unique(folder / "archive.tar.gz"), folder / "archive.tar (1).gz");
    fs::create_directory(folder / "Pictures");
    EXPECT_EQ(FileNaming::unique(folder / "Pictures"), folder / "Pictures (1)");
    fs::create_symlink(folder / "nowhere", folder / "dangling.txt");
    EXPECT_EQ(FileNaming::unique(folder / "dangling.txt"), folder / "dangling (1).txt");
}

TEST(MoveNoReplace, TakesNextFreeName) {
    TempFolder folder;
    folder.write("a.txt", "old");
    folder.write(".tmp", "new");
    const auto final = FileNaming::moveNoReplace(folder / ".tmp", folder / "a.txt");
    EXPECT_EQ(final, folder / "a (1).txt");
    std::ifstream old(folder / "a.txt");
    std::string content;
    old >> content;
    EXPECT_EQ(content, "old");
    EXPECT_FALSE(fs::exists(folder / ".tmp"));
}

TEST(MoveNoReplace, EightThreadsOneNameEightFiles) {
    TempFolder folder;
    folder.write("same.bin", "original");
    constexpr int threads = 8;
    for (int i = 0; i < threads; ++i) folder.write(".part" + std::to_string(i), std::to_string(i));
    std::vector<fs::path> finals(threads);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&, i] {
            finals[i] = FileNaming::moveNoReplace(folder / (".part" + std::to_string(i)), folder / "same.bin");
        });
    }
    for (auto& w : workers) w.join();
    std::set<fs::path> distinct(finals.begin(), finals.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(threads));
    std::set<std::string> contents;
    for (const auto& entry : fs::directory_iterator(folder.path())) {
        std::ifstream in(entry.path());
        std::string c;
        in >> c;
        contents.insert(c);
    }
    EXPECT_EQ(contents.size(), static_cast<std::size_t>(threads + 1));  // nothing overwritten
    EXPECT_TRUE(contents.count("original"));
}

TEST(MoveNoReplace, FailureIsThePlatformError) {
    TempFolder folder;
    folder.write("file", "x");
    folder.write(".tmp", "y");
    try {
        FileNaming::moveNoReplace(folder / ".tmp", folder / "file" / "under.txt");
        FAIL() << "expected an error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::not_a_directory);
    }
    EXPECT_TRUE(fs::exists(folder / ".tmp"));
}

// File systems without RENAME_NOREPLACE: a hard link where one can be made, else a plain
// rename onto a name just found free. The complete file is never lost, nothing is replaced.
TEST(MoveNoReplace, FileSystemsWithoutTheNoReplaceRename) {
    using Call = int (*)(int, const char*, const char*);
    const Call unsupported = [](int, const char*, const char*) { errno = EINVAL; return -1; };
    struct Case {
        const char* label;
        Call link;
    };
    const std::vector<Case> cases = {
        {"hard links", FileNaming::MoveCalls::system().link},
        {"no hard links (EPERM)", [](int, const char*, const char*) { errno = EPERM; return -1; }},
        {"no hard links (EOPNOTSUPP)", [](int, const char*, const char*) { errno = EOPNOTSUPP; return -1; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder folder;
        folder.write("taken.txt", "old");
        folder.write(".part", "new");
        const auto final =
            FileNaming::moveNoReplace(folder / ".part", folder / "taken.txt", {}, {unsupported, c.link, FileNaming::MoveCalls::system().rename});
        EXPECT_EQ(final, folder / "taken (1).txt");
        std::ifstream moved(final), kept(folder / "taken.txt");
        std::string movedContent, keptContent;
        moved >> movedContent;
        kept >> keptContent;
        EXPECT_EQ(movedContent, "new");
        EXPECT_EQ(keptContent, "old");
        EXPECT_FALSE(fs::exists(folder / ".part"));
    }
}

// The last resort's name is claimed before the rename: a file another program creates under
// that name in the meantime is never replaced, and a failed rename leaves no placeholder.
TEST(MoveNoReplace, TheLastResortClaimsItsNameFirst) {
    using Call = int (*)(int, const char*, const char*);
    const Call unsupported = [](int, const char*, const char*) { errno = EINVAL; return -1; };
    // Another program creates its file exclusively just before our rename.
    static bool intruded;
    const Call intruderFirst = [](int, const char* from, const char* to) {
        const int fd = ::open(to, O_WRONLY | O_CREAT | O_EXCL, 0644);
        intruded = fd >= 0;
        if (fd >= 0) {
            EXPECT_EQ(::write(fd, "theirs", 6), 6);
            ::close(fd);
        }
        return ::rename(from, to);
    };
    const Call failing = [](int, const char*, const char*) { errno = EIO; return -1; };

    TempFolder folder;
    folder.write("a.txt", "old");
    folder.write(".part", "new");
    intruded = false;
    const auto final = FileNaming::moveNoReplace(folder / ".part", folder / "a.txt", {}, {unsupported, unsupported, intruderFirst});
    std::ifstream moved(final);
    std::string content;
    moved >> content;
    EXPECT_EQ(content, "new");
    EXPECT_FALSE(intruded) << "the name was free for another program, whose file was replaced";

    folder.write(".part2", "new");
    try {
        FileNaming::moveNoReplace(folder / ".part2", folder / "b.txt", {}, {unsupported, unsupported, failing});
        FAIL() << "expected an error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::io_error);
    }
    EXPECT_TRUE(fs::exists(folder / ".part2"));
    EXPECT_FALSE(fs::exists(folder / "b.txt")) << "the placeholder stayed";

    // Another program creates its file between our choice of the name and our claim on it.
    static bool intrudedOnce;
    intrudedOnce = false;
    const auto intrudeBeforeClaim = [](int, const char* to) {
        if (std::exchange(intrudedOnce, true)) return;
        const int fd = ::open(to, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            EXPECT_EQ(::write(fd, "theirs", 6), 6);
            ::close(fd);
        }
    };
    folder.write(".part3", "new");
    FileNaming::MoveCalls calls{unsupported, unsupported, FileNaming::MoveCalls::system().rename};
    calls.beforeClaim = intrudeBeforeClaim;
    EXPECT_EQ(FileNaming::moveNoReplace(folder / ".part3", folder / "c.txt", {}, calls), folder / "c (1).txt");
    std::ifstream theirs(folder / "c.txt");
    theirs >> content;
    EXPECT_EQ(content, "theirs") << "the placeholder was made over another program's file";
}

}  // namespace
}  // namespace velmo
