#include "transfer/PartFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/ScopedUmask.h"
#include "support/TempFolder.h"

namespace velmo {
namespace {

namespace fs = std::filesystem;

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
    const auto final = file.moveTo(folder / "photo.jpg");
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

}  // namespace
}  // namespace velmo
