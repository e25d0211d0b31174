#include "quickshare/IncomingFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <fstream>
#include <limits>

#include "quickshare/FlowTesting.h"
#include "quickshare/QuickShareError.h"
#include "quickshare/QuickShareReceiveAuthorization.h"
#include "support/AsNobody.h"
#include "support/ScratchDisk.h"
#include "support/TempFolder.h"

namespace velmo {
namespace {

using namespace test;
namespace fs = std::filesystem;

struct Offered {
    std::optional<std::string> name;
    std::optional<std::int64_t> payloadId;
    std::optional<std::int64_t> size;
};

FileMetadataList listOf(const std::vector<Offered>& offered) {
    FileMetadataList files;
    for (const auto& entry : offered) {
        auto* file = files.Add();
        if (entry.name) file->set_name(*entry.name);
        if (entry.payloadId) file->set_payload_id(*entry.payloadId);
        if (entry.size) file->set_size(*entry.size);
    }
    return files;
}

FileMetadataList numbered(int count, std::int64_t size = 1) {
    std::vector<Offered> offered;
    for (int i = 0; i < count; ++i) offered.push_back({"f" + std::to_string(i), i + 1, size});
    return listOf(offered);
}

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return {};
}

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

const std::string tooMany = QuickShareError::tooManyFiles().what();
const std::string invalidMetadata = QuickShareError::protocolError("invalid file metadata").what();
const std::string badChunk = QuickShareError::protocolError("invalid file chunk offset or length").what();
const std::string unknownPayload = QuickShareError::protocolError("unknown file payload").what();

TEST(ValidateFiles, AcceptsOneToOneHundredTwentyEightWellFormedFiles) {
    const auto max = std::numeric_limits<std::int64_t>::max();
    struct Case {
        const char* label;
        FileMetadataList files;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"no files", listOf({}), tooMany},
        {"one file", numbered(1), ""},
        {"128 files", numbered(128), ""},
        {"129 files", numbered(129), tooMany},
        {"size 0", listOf({{"a", 1, 0}}), ""},
        {"no name", listOf({{std::nullopt, 1, 3}}), ""},
        {"no payload id", listOf({{"a", std::nullopt, 3}}), invalidMetadata},
        {"no size", listOf({{"a", 1, std::nullopt}}), invalidMetadata},
        {"negative size", listOf({{"a", 1, -1}}), invalidMetadata},
        {"sizes overflow", listOf({{"a", 1, max}, {"b", 2, 1}}), invalidMetadata},
        {"sizes just fit", listOf({{"a", 1, max - 1}, {"b", 2, 1}}), ""},
        {"duplicate payload id", listOf({{"a", 7, 1}, {"b", 7, 1}}), invalidMetadata},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorOf([&] { validateFiles(c.files); }), c.error) << c.label;
    }
}

class IncomingFilesTest : public ::testing::Test {
protected:
    std::shared_ptr<IncomingFiles> make(std::shared_ptr<QuickShareReceiveAuthorization> authorization = nullptr) {
        return IncomingFiles::create(context.get_executor(), folder.path() / "Downloads",
                                     std::move(authorization),
                                     [this](std::int64_t done, std::int64_t total) {
                                         progress.emplace_back(done, total);
                                     });
    }
    fs::path downloads() const { return folder.path() / "Downloads"; }

    asio::io_context context;
    TempFolder folder;
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;
};

TEST_F(IncomingFilesTest, SavesEachFileUnderItsSafeNameInOfferOrder) {
    auto files = make();
    files->prepare(listOf({{"../../etc/report.txt", 10, 5}, {"empty.bin", 20, 0}, {std::nullopt, 30, 3}}));
    EXPECT_EQ(progress, (decltype(progress){{0, 8}}));

    // Three hidden temporary files, private to the user, and nothing else yet.
    auto names = namesIn(downloads());
    ASSERT_EQ(names.size(), 3u);
    for (const auto& name : names) {
        EXPECT_TRUE(name.starts_with(".velmo-") && name.ends_with(".part")) << name;
        EXPECT_EQ(name.size(), 7u + 36u + 5u) << name;
        struct stat info {};
        ASSERT_EQ(::lstat((downloads() / name).c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }

    files->write(30, 0, bytesOf("xyz"), true);
    files->write(10, 0, bytesOf("hel"), false);
    files->write(20, 0, {}, true);
    files->write(10, 3, bytesOf("lo"), false);
    files->write(10, 5, {}, true);

    std::vector<fs::path> saved;
    runAlone(context, [&]() -> asio::awaitable<void> { saved = co_await files->waitUntilDone(); });
    EXPECT_EQ(saved, (std::vector<fs::path>{downloads() / "report.txt", downloads() / "empty.bin",
                                            downloads() / "File"}));
    EXPECT_EQ(contentOf(downloads() / "report.txt"), "hello");
    EXPECT_EQ(contentOf(downloads() / "empty.bin"), "");
    EXPECT_EQ(contentOf(downloads() / "File"), "xyz");
    EXPECT_FALSE(hasTemporaryFiles(downloads()));
    EXPECT_EQ(progress, (decltype(progress){{0, 8}, {3, 8}, {6, 8}, {6, 8}, {8, 8}, {8, 8}}));

    // Repeats after saving change nothing; a late failure cannot undo a finished transfer.
    files->write(10, 5, {}, true);
    files->write(10, 0, bytesOf("HELLO"), true);
    EXPECT_EQ(contentOf(downloads() / "report.txt"), "hello");
    files->fail(std::make_exception_ptr(QuickShareError::disconnected()));
    files->abort();
    runAlone(context, [&]() -> asio::awaitable<void> {
        EXPECT_EQ(co_await files->waitUntilDone(), saved);
    });
    EXPECT_EQ(contentOf(downloads() / "report.txt"), "hello");
}

TEST_F(IncomingFilesTest, RefusesChunksThatDoNotContinueTheirFileExactly) {
    struct Case {
        const char* label;
        std::int64_t payloadId;
        std::int64_t offset;
        std::string data;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"gap", 1, 4, "x", badChunk},
        {"repeat of earlier bytes", 1, 0, "ab", badChunk},
        {"negative offset", 1, -1, "x", badChunk},
        {"past the announced size", 1, 2, "cdefg", badChunk},
        {"unknown payload id", 99, 0, "x", unknownPayload},
    };
    for (const auto& c : cases) {
        TempFolder other;
        auto files = IncomingFiles::create(context.get_executor(), other.path(), nullptr, nullptr);
        files->prepare(listOf({{"a.txt", 1, 5}}));
        files->write(1, 0, bytesOf("ab"), false);
        EXPECT_EQ(errorOf([&] { files->write(c.payloadId, c.offset, bytesOf(c.data), false); }), c.error)
            << c.label;
        files->abort();
        EXPECT_TRUE(namesIn(other.path()).empty()) << c.label;
    }
}

TEST_F(IncomingFilesTest, ShortLastChunkFailsAndLeavesNothing) {
    auto files = make();
    files->prepare(listOf({{"a.txt", 1, 5}}));
    files->write(1, 0, bytesOf("abc"), false);
    EXPECT_EQ(errorOf([&] { files->write(1, 3, {}, true); }),
              QuickShareError::arrivedIncomplete("a.txt").what());
    files->abort();
    EXPECT_TRUE(namesIn(downloads()).empty());
}

TEST_F(IncomingFilesTest, NeverOverwritesAndNumbersClashingNames) {
    fs::create_directories(downloads());
    std::ofstream(downloads() / "photo.jpg") << "mine";
    fs::create_symlink("/nonexistent/target", downloads() / "photo (1).jpg");
    auto files = make();
    files->prepare(listOf({{"photo.jpg", 1, 1}, {"photo.jpg", 2, 1}}));
    files->write(2, 0, bytesOf("B"), true);
    files->write(1, 0, bytesOf("A"), true);
    std::vector<fs::path> saved;
    runAlone(context, [&]() -> asio::awaitable<void> { saved = co_await files->waitUntilDone(); });
    EXPECT_EQ(saved, (std::vector<fs::path>{downloads() / "photo (3).jpg", downloads() / "photo (2).jpg"}));
    EXPECT_EQ(contentOf(downloads() / "photo.jpg"), "mine");
    EXPECT_TRUE(fs::is_symlink(downloads() / "photo (1).jpg"));
    EXPECT_EQ(contentOf(downloads() / "photo (2).jpg"), "B");
    EXPECT_EQ(contentOf(downloads() / "photo (3).jpg"), "A");
}

TEST_F(IncomingFilesTest, AbortKeepsFinishedFilesAndRemovesUnfinishedOnes) {
    auto files = make();
    files->prepare(listOf({{"one", 1, 2}, {"two", 2, 4}, {"three", 3, 1}}));
    files->write(1, 0, bytesOf("11"), true);
    files->write(2, 0, bytesOf("22"), false);
    std::string error;
    runAlone(context, [&]() -> asio::awaitable<void> {
        asio::co_spawn(context, [&]() -> asio::awaitable<void> {
            co_await sleepFor(5ms);
            files->fail(std::make_exception_ptr(QuickShareError::cancelledByPhone()));
        }, asio::detached);
        try {
            co_await files->waitUntilDone();
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    EXPECT_EQ(error, QuickShareError::cancelledByPhone().what());
    // The first failure stays; later chunks are refused with it.
    EXPECT_EQ(errorOf([&] { files->write(2, 2, bytesOf("22"), true); }), error);
    files->abort();
    EXPECT_EQ(namesIn(downloads()), (std::vector<std::string>{"one"}));
}

// The download folder moved mid-transfer: a file that finishes is saved in the folder it
// began in, under that folder's new path, and an unfinished one is removed from there.
TEST_F(IncomingFilesTest, FolderMovedMidTransferKeepsToIt) {
    std::vector<fs::path> saved;
    auto files = IncomingFiles::create(context.get_executor(), downloads(), nullptr, nullptr,
                                       [&](const fs::path& file) { saved.push_back(file); });
    files->prepare(listOf({{"one", 1, 4}, {"two", 2, 4}}));
    files->write(1, 0, bytesOf("11"), false);
    files->write(2, 0, bytesOf("22"), false);
    const auto moved = folder.path() / "Moved";
    fs::rename(downloads(), moved);
    files->write(1, 2, bytesOf("11"), true);
    EXPECT_EQ(saved, (std::vector<fs::path>{moved / "one"}));
    EXPECT_EQ(contentOf(moved / "one"), "1111");
    files->abort();
    EXPECT_EQ(namesIn(moved), (std::vector<std::string>{"one"}));
    EXPECT_FALSE(fs::exists(downloads()));
}

TEST_F(IncomingFilesTest, DroppingTheWriterRemovesItsTemporaryFiles) {
    {
        auto files = make();
        files->prepare(listOf({{"one", 1, 2}}));
        EXPECT_TRUE(hasTemporaryFiles(downloads()));
    }
    EXPECT_TRUE(namesIn(downloads()).empty());
}

TEST_F(IncomingFilesTest, RevokedAuthorizationStopsPreparationAndWrites) {
    {
        auto authorization = std::make_shared<QuickShareReceiveAuthorization>();
        authorization->revoke();
        auto files = make(authorization);
        EXPECT_THROW(files->prepare(listOf({{"a", 1, 1}})), Cancelled);
        EXPECT_FALSE(fs::exists(downloads()));
        EXPECT_TRUE(progress.empty());
    }
    {
        auto authorization = std::make_shared<QuickShareReceiveAuthorization>();
        auto files = make(authorization);
        files->prepare(listOf({{"a", 1, 4}}));
        files->write(1, 0, bytesOf("ab"), false);
        authorization->revoke();
        EXPECT_THROW(files->write(1, 2, bytesOf("cd"), true), Cancelled);
        files->abort();
        EXPECT_TRUE(namesIn(downloads()).empty());
    }
}

TEST_F(IncomingFilesTest, ProgressHandlerMayRevokeWithoutDeadlock) {
    auto authorization = std::make_shared<QuickShareReceiveAuthorization>();
    auto files = IncomingFiles::create(context.get_executor(), downloads(), authorization,
                                       [authorization](std::int64_t done, std::int64_t) {
                                           if (done > 0) authorization->revoke();
                                       });
    files->prepare(listOf({{"a", 1, 4}}));
    files->write(1, 0, bytesOf("ab"), false);
    EXPECT_FALSE(authorization->isActive());
    EXPECT_THROW(files->write(1, 2, bytesOf("cd"), true), Cancelled);
    files->abort();
    EXPECT_TRUE(namesIn(downloads()).empty());
}

TEST_F(IncomingFilesTest, UnusableFolderIsReportedAndNothingIsLeft) {
    std::ofstream(folder.path() / "plain") << "x";
    // A folder below a regular file cannot exist (ENOTDIR), whoever runs the test.
    auto files = IncomingFiles::create(context.get_executor(), folder.path() / "plain" / "sub",
                                       nullptr, nullptr);
    EXPECT_EQ(errorOf([&] { files->prepare(listOf({{"a", 1, 1}})); }), "Velmo can't create the folder \u2068sub\u2069.");
    files->abort();
    EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string>{"plain"}));
}

// A file that cannot be saved is told by the folder's name, never by the hidden part file.
TEST_F(IncomingFilesTest, SavingFailuresNameTheFolder) {
    test::ScratchDisk disk("size=64k");
    std::optional<FileSizeLimit> limit;
    struct Case {
        const char* label;
        bool possible;
        fs::path folder;
        std::function<void(const fs::path& folder)> meanwhile;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"folder removed", true, downloads(), [](const fs::path& f) { fs::remove_all(f); },
         "The \u2068Downloads\u2069 folder was removed while the file was arriving."},
        {"part file removed", true, downloads(),
         [](const fs::path& f) {
             for (const auto& name : namesIn(f)) fs::remove(f / name);
         },
         "The file was removed from \u2068Downloads\u2069 while it was arriving."},
        {"disk full", disk.mounted(), disk / "Downloads", [](const fs::path&) {},
         "There isn't enough free space in \u2068Downloads\u2069."},
        {"file too large", true, downloads(), [&](const fs::path&) { limit.emplace(150'000); },
         "The file is too large for the disk that holds \u2068Downloads\u2069."},
    };
    const Bytes chunk(100'000, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.possible) continue;
        auto files = IncomingFiles::create(context.get_executor(), c.folder, nullptr, nullptr);
        files->prepare(listOf({{"a.bin", 1, 200'000}}));
        const auto error = errorOf([&] {
            files->write(1, 0, chunk, false);
            c.meanwhile(c.folder);
            files->write(1, 100'000, chunk, true);
        });
        limit.reset();
        EXPECT_EQ(error, c.error);
        files->abort();
    }
}

// A folder that cannot be written from the start is told by the project's own sentence,
// never as a protocol error with the folder's full path.
TEST_F(IncomingFilesTest, UnwritableFolderFromTheStart) {
    std::string skipped;
    test::ScratchDisk readOnly("size=64k", true);
    if (readOnly.mounted()) {
        auto files = IncomingFiles::create(context.get_executor(), readOnly.path(), nullptr, nullptr);
        EXPECT_EQ(errorOf([&] { files->prepare(listOf({{"a", 1, 1}})); }),
                  "Velmo can't save files in \u2068" + readOnly.path().filename().string() + "\u2069: it is read-only.");
        files->abort();
    } else {
        skipped += "cannot mount a read-only disk. ";
    }

    // The folder exists and can be looked into, but not written by this user.
    fs::create_directories(downloads());
    fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(downloads(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    auto files = make();
    const auto error = test::asNobody([&] { return errorOf([&] { files->prepare(listOf({{"a", 1, 1}})); }); });
    if (error) {
        EXPECT_EQ(*error, "Velmo isn't allowed to save files in \u2068Downloads\u2069.");
        EXPECT_TRUE(namesIn(downloads()).empty());
    } else {
        skipped += "cannot run a child as the user nobody.";
    }
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

TEST_F(IncomingFilesTest, WaitUntilDoneReturnsAtOnceWhenAlreadyComplete) {
    auto files = make();
    files->prepare(listOf({{"a", 1, 1}}));
    files->write(1, 0, bytesOf("a"), true);
    const bool idle = runAlone(context, [&]() -> asio::awaitable<void> {
        EXPECT_EQ((co_await files->waitUntilDone()).size(), 1u);
    });
    EXPECT_TRUE(idle);
}

}  // namespace
}  // namespace velmo
