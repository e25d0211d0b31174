#include "transfer/PartFile.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "support/ScopedUmask.h"
#include "transfer/FileNaming.h"
#include "support/TempFolder.h"

namespace velmo {
namespace {

namespace fs = std::filesystem;

std::string lowercase(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PartFile, HiddenPrivateAndMovedWithoutReplacing) {
    test::ScopedUmask mask(027);  // the finished file follows the mask; the partial one never
    test::TempFolder folder;
    folder.write("photo.jpg", "old");
    const auto id = Uuid::random();
    auto file = PartFile::create(folder.path(), id);
    EXPECT_EQ(file.path(), folder / (".velmo-" + id.toString() + ".part"));
    struct stat info {};
    ASSERT_EQ(::stat(file.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    file.write(toBytes("new "));
    file.write(toBytes("bytes"));
    const auto final = file.moveTo("photo.jpg");
    EXPECT_EQ(final, folder / "photo (1).jpg");
    EXPECT_EQ(readFile(final), "new bytes");
    EXPECT_EQ(test::permissionsOf(final.c_str()), 0640u);
    EXPECT_EQ(readFile(folder / "photo.jpg"), "old");
    EXPECT_FALSE(fs::exists(folder / (".velmo-" + id.toString() + ".part")));
}

TEST(PartFile, NeverOpensAnExistingNameOrLink) {
    test::TempFolder folder;
    const auto id = Uuid::random();
    folder.write("target", "keep");
    fs::create_symlink(folder / "target", PartFile::pathFor(folder.path(), id));
    try {
        PartFile::create(folder.path(), id);
        FAIL() << "created through a link";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::file_exists);
    }
    EXPECT_EQ(readFile(folder / "target"), "keep");
}

TEST(PartFile, CreationFailureIsThePlatformError) {
    test::TempFolder folder;
    folder.write("file", "x");
    try {
        PartFile::create(folder / "file", Uuid::random());
        FAIL();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::not_a_directory);
    }
}

TEST(PartFile, DiscardedUnlessPlaced) {
    test::TempFolder folder;
    fs::path path;
    {
        auto file = PartFile::create(folder.path(), Uuid::random());
        path = file.path();
        file.write(toBytes("partial"));
    }
    EXPECT_FALSE(fs::exists(path));
    auto file = PartFile::create(folder.path(), Uuid::random());
    file.discard();
    file.discard();
    EXPECT_FALSE(fs::exists(file.path()));
    EXPECT_TRUE(fs::is_empty(folder.path()));
}

// Where sweepingMove() sweeps.
fs::path sweptBeforeRename;

// The system's move calls, with a sweep of sweptBeforeRename just before the rename.
FileNaming::MoveCalls sweepingMove() {
    auto calls = FileNaming::MoveCalls::system();
    calls.renameNoReplace = [](int dir, const char* from, const char* to) {
        PartFile::removeStale(sweptBeforeRename);
        return FileNaming::MoveCalls::system().renameNoReplace(dir, from, to);
    };
    return calls;
}

// Another Velmo's sweep may take a part file between its creation and its lock: it is made again.
TEST(PartFile, APartFileSweptBeforeItsLockIsMadeAgain) {
    test::TempFolder folder;
    sweptBeforeRename = folder.path();
    auto file = PartFile::create(folder.path(), Uuid::random(), [](int, const char*) {
        static bool once = false;
        if (!std::exchange(once, true)) {
            EXPECT_EQ(PartFile::removeStale(sweptBeforeRename), 1u);
        }
    });
    file.write(toBytes("kept"));
    EXPECT_EQ(readFile(file.moveTo("a.txt")), "kept");
}

// Where /proc is not mounted, files are still made and moved into place with the mode of a new
// file, also where the file system refuses a no-replace rename. A child with a tmpfs over /proc.
TEST(PartFile, SavesWithoutProc) {
    test::TempFolder folder;
    folder.write("a.txt", "old");
    {
        // The mask without /proc, also where /proc cannot be hidden below.
        test::ScopedUmask mask(027);
        EXPECT_EQ(PartFile::newFileMode(PartFile::Folder::open(folder.path())->fd(), "/nonexistent"), 0640u);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/proc", "tmpfs", 0, "size=64k") != 0)
            ::_exit(100 + errno);  // told as the reason for the skip
        ::umask(022);  // the finished files still follow it
        auto calls = FileNaming::MoveCalls::system();
        calls.renameNoReplace = [](int, const char*, const char*) { errno = EINVAL; return -1; };
        try {
            auto first = PartFile::create(folder.path(), Uuid::random());
            first.write(toBytes("one"));
            auto second = PartFile::create(folder.path(), Uuid::random());
            second.write(toBytes("two"));
            const bool saved = first.moveTo("a.txt") == folder / "a (1).txt" &&
                               second.moveTo("a.txt", calls) == folder / "a (2).txt";
            ::_exit(saved ? 0 : 1);
        } catch (const std::exception&) {
            ::_exit(2);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) >= 100)
        GTEST_SKIP() << "no private mount namespace to hide /proc in: " << std::strerror(WEXITSTATUS(status) - 100);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(folder / "a (1).txt"), "one");
    EXPECT_EQ(readFile(folder / "a (2).txt"), "two");
    EXPECT_EQ(test::permissionsOf((folder / "a (2).txt").c_str()), 0644u);
    EXPECT_EQ(readFile(folder / "a.txt"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 3);
}

// What a killed Velmo left: only our own part files go, never what merely looks like one,
// a link (nor what it points to), a folder, or another user's file.
TEST(PartFile, StalePartFilesOfOursAreRemoved) {
    test::TempFolder folder;
    test::TempFolder elsewhere;
    elsewhere.write("target", "keep");
    const auto stale = PartFile::pathFor(folder.path(), Uuid::random());
    std::ofstream(stale) << "half a file";
    const auto link = PartFile::pathFor(folder.path(), Uuid::random());
    fs::create_symlink(elsewhere / "target", link);
    const auto directory = PartFile::pathFor(folder.path(), Uuid::random());
    fs::create_directory(directory);
    const auto lower = folder / (".velmo-" + lowercase(Uuid::random().toString()) + ".part");
    std::ofstream(lower) << "x";
    const std::vector<std::string> lookalikes = {".velmo-notes.part", "velmo-" + Uuid::random().toString() + ".part",
                                                 ".velmo-" + Uuid::random().toString() + ".part.txt"};
    for (const auto& name : lookalikes) folder.write(name, "x");
    const auto theirs = PartFile::pathFor(folder.path(), Uuid::random());
    std::ofstream(theirs) << "x";
    // Only root can give a file away; elsewhere this case is left out.
    const bool otherUser = ::chown(theirs.c_str(), 65534, 65534) == 0;
    if (!otherUser) fs::remove(theirs);
    // Another Velmo (another profile, or a copy that missed the running one) still writes this.
    auto live = PartFile::create(folder.path(), Uuid::random());
    live.write(toBytes("arriving"));

    EXPECT_EQ(PartFile::removeStale(folder.path()), 1u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(stale)));
    ASSERT_TRUE(fs::exists(live.path())) << "a live download was removed";
    // Another Velmo's sweep may also come after the last byte, between the close and the rename.
    sweptBeforeRename = folder.path();
    EXPECT_EQ(readFile(live.moveTo("arrived.bin", sweepingMove())), "arriving");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(elsewhere / "target"), "keep");
    EXPECT_TRUE(fs::is_directory(directory));
    EXPECT_TRUE(fs::exists(lower));
    for (const auto& name : lookalikes) EXPECT_TRUE(fs::exists(folder / name)) << name;
    if (otherUser) {
        EXPECT_TRUE(fs::exists(theirs));
    }
    EXPECT_EQ(PartFile::removeStale(folder / "missing"), 0u);
}

// A Velmo that died between claiming a final name with an empty placeholder (the last-resort
// move) and renaming onto it: the next start removes that placeholder with the part file, and
// never a file that merely has the name a finished move noted.
TEST(PartFile, APlaceholderLeftByACrashGoesWithItsPartFile) {
    using Call = int (*)(int, const char*, const char*);
    const Call unsupported = [](int, const char*, const char*) { errno = EINVAL; return -1; };
    const Call crash = [](int, const char*, const char*) -> int { throw std::runtime_error("killed"); };
    test::TempFolder folder;
    const auto part = PartFile::pathFor(folder.path(), Uuid::random());
    std::ofstream(part) << "whole file";
    EXPECT_THROW(FileNaming::moveNoReplace(part, folder / "photo.jpg", PartFile::claimFor(part),
                                           {unsupported, unsupported, crash}),
                 std::runtime_error);
    ASSERT_TRUE(fs::exists(folder / "photo.jpg"));
    ASSERT_EQ(fs::file_size(folder / "photo.jpg"), 0u);

    // A move that finished but died before dropping its note: the name is a received file's now.
    folder.write("empty.txt", "");
    const auto finished = PartFile::pathFor(folder.path(), Uuid::random());
    std::ofstream(PartFile::claimFor(finished)) << "empty.txt";
    // A note naming a file with content is not ours to remove either.
    folder.write("kept.txt", "content");
    const auto other = PartFile::pathFor(folder.path(), Uuid::random());
    std::ofstream(other) << "half";
    std::ofstream(PartFile::claimFor(other)) << "kept.txt";

    EXPECT_EQ(PartFile::removeStale(folder.path()), 3u);
    EXPECT_FALSE(fs::exists(folder / "photo.jpg")) << "the empty placeholder stayed";
    EXPECT_TRUE(fs::exists(folder / "empty.txt"));
    EXPECT_EQ(readFile(folder / "kept.txt"), "content");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder.path())) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"empty.txt", "kept.txt"}));
}

}  // namespace
}  // namespace velmo
