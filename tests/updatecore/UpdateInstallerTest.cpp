#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "UpdateBundleKit.h"
#include "platform/Error.h"
#include "support/TempFolder.h"
#include "updatecore/UpdateBundle.h"
#include "updatecore/UpdateInstallError.h"
#include "updatecore/UpdateInstaller.h"
#include "updatecore/UpdateRecovery.h"

namespace velmo {
namespace {

using Kind = UpdateInstallError::Kind;
using test::BundleBuilder;
using test::ZipEntry;
namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class UpdateInstallerTest : public ::testing::Test {
protected:
    test::Ed25519TestKey key;
    test::TempFolder temp;
    fs::path apps = temp / "apps";
    fs::path app = apps / "Velmo.app";
    fs::path zip = temp / "update.zip";
    std::atomic<bool> cancel{false};
    UpdateInstaller::Options options{std::chrono::milliseconds(5000), {}};

    void SetUp() override {
        fs::create_directories(apps);
        BundleBuilder(key, 7).writeTo(app);
    }

    void writeUpdate(const BundleBuilder& builder, const test::Ed25519TestKey* signer = nullptr) {
        test::writeZip(zip, test::zipEntries(builder.finished(signer)));
    }

    Kind failure(const std::string& version = "1.8", std::int64_t build = 8) {
        try {
            UpdateInstaller::install(zip, app, version, build, cancel, options);
        } catch (const UpdateInstallError& e) {
            return e.kind();
        }
        ADD_FAILURE() << "install succeeded";
        return Kind::rollbackFailed;
    }

    std::string installedBuildText() { return readFile(app / "Contents/share/readme.txt"); }

    // Nothing but the installed copy is left in its folder, and it is the old one.
    void expectUntouched() {
        EXPECT_EQ(installedBuildText(), "build 7\n");
        std::vector<fs::path> entries;
        for (const auto& e : fs::directory_iterator(apps)) entries.push_back(e.path().filename());
        EXPECT_EQ(entries, std::vector<fs::path>{"Velmo.app"});
    }
};

TEST_F(UpdateInstallerTest, GoodUpdateIsSwappedInAndStarted) {
    // Modes other than the executable bit may differ from the manifest: the user's chmod on
    // the installed copy, and the unpacker's own choice for the new one.
    fs::permissions(app / "Contents/share/readme.txt", fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(app / "Contents/bin/Velmo", fs::perms::owner_all);
    BundleBuilder update(key, 8);
    update.files["Contents/share/readme.txt"].mode = 0640;
    writeUpdate(update);
    UpdateInstaller::install(zip, app, "1.8", 8, cancel, options);
    EXPECT_EQ(installedBuildText(), "build 8\n");
    EXPECT_EQ(fs::status(app / "Contents/bin/Velmo").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                  fs::perms::others_exec);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(apps)) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST_F(UpdateInstallerTest, CopyThatDoesNotStartIsRolledBack) {
    writeUpdate(BundleBuilder(key, 8, false));
    EXPECT_EQ(failure(), Kind::relaunchFailed);
    expectUntouched();
}

TEST_F(UpdateInstallerTest, HostileArchivesAreRefusedAndNothingIsReplaced) {
    const auto good = test::zipEntries(BundleBuilder(key, 8).finished());
    auto with = [&](ZipEntry extra) {
        auto entries = good;
        entries.push_back(extra);
        return entries;
    };
    auto file = [&](const char* path) { return with(ZipEntry{path, "x", 0644, ZipEntry::file, ""}); };
    struct Case {
        const char* name;
        std::vector<ZipEntry> entries;
    } cases[] = {
        {"parent folder", file("Velmo.app/../escaped")},
        {"parent inside", file("Velmo.app/Contents/../../escaped")},
        {"absolute path", file("/tmp/escaped")},
        {"dot component", file("Velmo.app/./x")},
        {"empty component", file("Velmo.app//x")},
        {"second top-level folder", file("__MACOSX/x")},
        {"second bundle", file("Other.app/x")},
        {"backslash", file("Velmo.app\\..\\x")},
        {"symbolic link", with({"Velmo.app/Contents/link", "", 0777, ZipEntry::symlink, "/etc/passwd"})},
        {"link out of the folder", with({"Velmo.app/up", "", 0777, ZipEntry::symlink, "../.."})},
        {"duplicate file", file("Velmo.app/Contents/share/readme.txt")},
        {"no entries", {}},
    };
    for (const auto& c : cases) {
        test::writeZip(zip, c.entries);
        EXPECT_EQ(failure(), Kind::invalidArchive) << c.name;
        expectUntouched();
    }
    EXPECT_FALSE(fs::exists(temp / "escaped"));
    EXPECT_FALSE(fs::exists(apps / "escaped"));

    std::ofstream(zip) << "not a zip";
    EXPECT_EQ(failure(), Kind::invalidArchive);
    expectUntouched();
}

TEST_F(UpdateInstallerTest, OversizeArchivesAreRefused) {
    writeUpdate(BundleBuilder(key, 8));
    options.archiveLimits.unpackedBytes = 64;
    EXPECT_EQ(failure(), Kind::invalidArchive);
    options.archiveLimits = {};
    options.archiveLimits.listingBytes = 40;
    EXPECT_EQ(failure(), Kind::invalidArchive);
    expectUntouched();
}

TEST_F(UpdateInstallerTest, ManifestMismatchesAreRefused) {
    test::Ed25519TestKey otherKey;
    {
        SCOPED_TRACE("signed with another key");
        writeUpdate(BundleBuilder(key, 8), &otherKey);
        EXPECT_EQ(failure(), Kind::invalidSignature);
    }
    auto tampered = [&](auto change) {
        auto files = BundleBuilder(key, 8).finished();
        change(files);
        test::writeZip(zip, test::zipEntries(files));
        return failure();
    };
    EXPECT_EQ(tampered([](auto& f) { f["Contents/share/readme.txt"].content = "build 9\n"; }), Kind::invalidSignature);
    EXPECT_EQ(tampered([](auto& f) { f["Contents/share/extra"] = {"x", 0644}; }), Kind::invalidSignature);
    EXPECT_EQ(tampered([](auto& f) { f.erase("Contents/share/readme.txt"); }), Kind::invalidSignature);
    EXPECT_EQ(tampered([](auto& f) { f["Contents/share/readme.txt"].mode = 0755; }), Kind::invalidSignature);
    EXPECT_EQ(tampered([](auto& f) { f.erase("Contents/Manifest.json"); }), Kind::invalidSignature);
    expectUntouched();

    // The installed copy must verify too.
    writeUpdate(BundleBuilder(key, 8));
    std::ofstream(app / "Contents/share/readme.txt", std::ios::app) << "";
    std::ofstream(app / "Contents/share/added") << "x";
    EXPECT_EQ(failure(), Kind::invalidSignature);
}

TEST_F(UpdateInstallerTest, BundleRules) {
    // The minimum system is the C library's version.
    const std::string libc = ::gnu_get_libc_version();
    const std::string nextLibc = libc.substr(0, libc.find('.')) + "." + std::to_string(std::stoi(libc.substr(libc.find('.') + 1)) + 1);
    struct Case {
        const char* name;
        std::function<void(BundleBuilder&)> change;
        Kind expected;
        std::string version = "1.8";
    } cases[] = {
        {"same build", [](auto& b) { b.info["CFBundleVersion"] = "7"; }, Kind::invalidBundle},
        {"other store", [](auto& b) { b.info["VelmoStoreID"] = 9; }, Kind::identityMismatch},
        {"other channel", [](auto& b) { b.info["VelmoUpdateChannel"] = "live-arm64"; }, Kind::identityMismatch},
        {"other identifier", [](auto& b) { b.info["CFBundleIdentifier"] = "com.example"; }, Kind::invalidBundle},
        {"other executable", [](auto& b) { b.info["CFBundleExecutable"] = "Other"; }, Kind::invalidBundle},
        {"boolean product", [](auto& b) { b.info["VelmoProductID"] = true; }, Kind::invalidBundle},
        {"fractional variant", [](auto& b) { b.info["VelmoVariantID"] = 3.5; }, Kind::invalidBundle},
        {"short key", [](auto& b) { b.info["VelmoUpdatePublicKey"] = "AAAA"; }, Kind::invalidBundle},
        {"future system", [](auto& b) { b.info["LSMinimumSystemVersion"] = "999.0"; }, Kind::unsupportedSystem},
        {"newer C library", [&](auto& b) { b.info["LSMinimumSystemVersion"] = nextLibc; }, Kind::unsupportedSystem},
        {"four-part minimum", [](auto& b) { b.info["LSMinimumSystemVersion"] = "1.2.3.4"; }, Kind::invalidBundle},
        {"letter in minimum", [](auto& b) { b.info["LSMinimumSystemVersion"] = "1.a"; }, Kind::invalidBundle},
        {"empty minimum part", [](auto& b) { b.info["LSMinimumSystemVersion"] = "1..2"; }, Kind::invalidBundle},
        {"executable missing", [](auto& b) { b.files.erase("Contents/bin/Velmo"); }, Kind::invalidBundle},
        {"version differs from release", [](auto&) {}, Kind::invalidBundle, "1.9"},
    };
    for (auto& c : cases) {
        BundleBuilder builder(key, 8);
        c.change(builder);
        writeUpdate(builder);
        EXPECT_EQ(failure(c.version, 8), c.expected) << c.name;
        expectUntouched();
    }
    // An archive of another build than the release's is the update's fault, not the installed copy's.
    writeUpdate(BundleBuilder(key, 8));
    try {
        UpdateInstaller::install(zip, app, "1.8", 9, cancel, options);
        ADD_FAILURE() << "install succeeded";
    } catch (const UpdateInstallError& e) {
        EXPECT_EQ(e.kind(), Kind::invalidBundle);
        EXPECT_STREQ(e.what(), "The downloaded update isn\u2019t the version Velmo was offered. Check for updates again later.");
    }
    expectUntouched();
    {
        BundleBuilder builder(key, 8);
        builder.info["LSMinimumSystemVersion"] = libc;
        writeUpdate(builder);
        EXPECT_NO_THROW(UpdateInstaller::install(zip, app, "1.8", 8, cancel, options));
    }
}

TEST_F(UpdateInstallerTest, NotNewerThanInstalled) {
    BundleBuilder(key, 9).writeTo(app);
    writeUpdate(BundleBuilder(key, 8));
    EXPECT_EQ(failure(), Kind::notNewer);
}

TEST_F(UpdateInstallerTest, LinkInTheApplicationPathIsUnsafe) {
    writeUpdate(BundleBuilder(key, 8));
    fs::create_directory_symlink(apps, temp / "linked");
    try {
        UpdateInstaller::install(zip, temp / "linked" / "Velmo.app", "1.8", 8, cancel, options);
        FAIL();
    } catch (const UpdateInstallError& e) {
        EXPECT_EQ(e.kind(), Kind::unsafePath);
    }
    expectUntouched();
}

TEST_F(UpdateInstallerTest, SecondInstallInTheSameFolderIsRefused) {
    writeUpdate(BundleBuilder(key, 8));
    const int fd = ::open(apps.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(failure(), Kind::installationInProgress);
    ::close(fd);
    expectUntouched();
}

TEST_F(UpdateInstallerTest, CancelledBeforeTheExchangeLeavesNothing) {
    writeUpdate(BundleBuilder(key, 8));
    cancel = true;
    EXPECT_THROW(UpdateInstaller::install(zip, app, "1.8", 8, cancel, options), Cancelled);
    expectUntouched();
}

TEST_F(UpdateInstallerTest, ArchiveThatIsNotARegularFileIsRefused) {
    fs::create_directory(zip);
    EXPECT_EQ(failure(), Kind::invalidArchive);
}

// The installer runs in a child process that is killed, with the new copy, once the copies
// have changed places and before the new one reports ready.
class InterruptedUpdateTest : public UpdateInstallerTest {
protected:
    fs::path download = temp / "tmp/Velmo-Update-5E0C6F1A-2B7D-4E8A-9C3F-7A1B2C3D4E5F";

    void SetUp() override {
        UpdateInstallerTest::SetUp();
        const auto started = temp / "next.pid";
        BundleBuilder update(key, 8);
        update.files["Contents/bin/Velmo"] = {"#!/bin/sh\necho $$ > '" + started.string() + ".new'\nmv '" +
                                                  started.string() + ".new' '" + started.string() + "'\nexec sleep 60\n",
                                              0755};
        fs::create_directories(download);
        zip = download / "Velmo-8.zip";
        writeUpdate(update);
        const pid_t installer = ::fork();
        if (installer == 0) {
            try {
                UpdateInstaller::install(zip, app, "1.8", 8, cancel, {std::chrono::seconds(60), {}});
            } catch (...) {
            }
            ::_exit(0);
        }
        for (int i = 0; i < 2000 && !fs::exists(started); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(installer, SIGKILL);
        ::waitpid(installer, nullptr, 0);
        ASSERT_TRUE(fs::exists(started)) << "the new copy never started";
        ::kill(std::stoi(readFile(started)), SIGKILL);
        ASSERT_EQ(installedBuildText(), "build 8\n");
        for (const auto& e : fs::directory_iterator(apps))
            if (e.path().filename() != "Velmo.app") staging = e.path();
        ASSERT_TRUE(fs::exists(staging / "Velmo.app/Contents/share/readme.txt"));
    }

    fs::path staging;
};

TEST_F(InterruptedUpdateTest, NothingIsTouchedWhileAnInstallerHoldsTheFolder) {
    const int fd = ::open(apps.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::nothing);
    ::close(fd);
    EXPECT_EQ(installedBuildText(), "build 8\n");
    EXPECT_TRUE(fs::exists(staging));
    EXPECT_TRUE(fs::exists(download));
}

TEST_F(InterruptedUpdateTest, NothingIsUndoneWhileTheNewCopyIsStillStarting) {
    // The installer has gone but the new copy it started is still on its way up: a launch
    // meanwhile must not swap the running copy's files away.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t starting = ::fork();
    if (starting == 0) {
        ::setenv(UpdateRecovery::stagingVariable, staging.c_str(), 1);
        char* argv[] = {nullptr};
        UpdateRecovery::recoverInterruptedUpdate(argv);
        [[maybe_unused]] const auto written = ::write(ready[1], "up", 2);
        ::pause();
        ::_exit(0);
    }
    char up[2];
    ASSERT_EQ(::read(ready[0], up, 2), 2);
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::nothing);
    EXPECT_EQ(installedBuildText(), "build 8\n");
    EXPECT_TRUE(fs::exists(staging / UpdateRecovery::recordName));
    EXPECT_TRUE(fs::exists(download));
    ::kill(starting, SIGKILL);
    ::waitpid(starting, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    // Once it has died without reporting ready, the next launch undoes the update, once.
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::restored);
    expectUntouched();
    EXPECT_FALSE(fs::exists(download));
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::nothing);
}

TEST_F(InterruptedUpdateTest, ThePreviousCopyComesBackWhenTheNewOneHasGone) {
    fs::remove_all(app);
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::restored);
    expectUntouched();
}

// A copy put in place by other means since (the install script copies beside, then renames) is
// the user's choice, even of the update's own build.
TEST_F(InterruptedUpdateTest, ACopyInstalledSinceStays) {
    BundleBuilder(key, 8).writeTo(apps / ".Velmo.app.installing");
    fs::remove_all(app);
    fs::rename(apps / ".Velmo.app.installing", app);
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::nothing);
    EXPECT_EQ(installedBuildText(), "build 8\n");
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_FALSE(fs::exists(download));
}

// An installer before the copy was noted wrote only the build: a copy of another build stays.
TEST_F(InterruptedUpdateTest, ARecordWithoutTheCopyIsJudgedByTheInstalledBuild) {
    std::ofstream(staging / UpdateRecovery::recordName, std::ios::trunc)
        << nlohmann::json{{"target", "Velmo.app"}, {"build", 8}, {"download", download.string()}}.dump();
    fs::remove_all(app);
    BundleBuilder(key, 9).writeTo(app);
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::nothing);
    EXPECT_EQ(installedBuildText(), "build 9\n");
    EXPECT_FALSE(fs::exists(staging));
}

// A record as installers store it (the copy's device and inode as numbers) still loads: one
// naming another folder than the copy in place leaves that copy, though it has the update's build.
TEST_F(InterruptedUpdateTest, AStoredRecordNamingAnotherCopyLeavesTheOneInPlace) {
    struct stat st {};
    ASSERT_EQ(::stat(app.c_str(), &st), 0);
    std::ofstream(staging / UpdateRecovery::recordName, std::ios::trunc)
        << nlohmann::json{{"target", "Velmo.app"}, {"build", 8}, {"download", download.string()},
                          {"device", static_cast<std::uint64_t>(st.st_dev)},
                          {"inode", static_cast<std::uint64_t>(st.st_ino) + 1}}
               .dump();
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::nothing);
    EXPECT_EQ(installedBuildText(), "build 8\n");
    EXPECT_FALSE(fs::exists(staging));
}

TEST_F(InterruptedUpdateTest, DownloadsThatNoRecordNamesGoAtTheNextStart) {
    // Velmo killed after a download, or before its installer wrote the record.
    const auto tmp = download.parent_path();
    const auto leftover = tmp / "Velmo-Update-0D7A4C2E-91B3-4F60-8E25-3C6B9A1F7D48";
    fs::create_directories(leftover / "inner");
    std::ofstream(leftover / "Velmo-9.zip") << "zip";
    std::ofstream(leftover / "inner/more") << "more";
    // What stays: a folder of another user, a link, and folders named otherwise.
    const auto others = tmp / "Velmo-Update-6A1E0F3B-2C4D-4B5A-9E8F-1D2C3B4A5F60";
    fs::create_directory(others);
    std::ofstream(others / "Velmo-9.zip") << "theirs";
    const bool chowned = ::chown(others.c_str(), 65534, 65534) == 0;
    fs::create_directory(temp / "linked");
    std::ofstream(temp / "linked/file") << "kept";
    const auto link = tmp / "Velmo-Update-7B2F1A4C-3D5E-4C6B-8A9F-2E3D4C5B6A71";
    fs::create_directory_symlink(temp / "linked", link);
    const std::vector<fs::path> otherNames{tmp / "Velmo-Update-notes", tmp / "Velmo-Updater-0D7A4C2E-91B3-4F60-8E25-3C6B9A1F7D48"};
    for (const auto& folder : otherNames) {
        fs::create_directory(folder);
        std::ofstream(folder / "file") << "x";
    }

    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::restored);
    EXPECT_FALSE(fs::exists(download)) << "the recorded download goes with its record";
    UpdateRecovery::removeLeftoverDownloads(tmp);
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(temp / "linked/file"), "kept");
    for (const auto& folder : otherNames) EXPECT_TRUE(fs::exists(folder / "file")) << folder;
    if (!chowned) GTEST_SKIP() << "no folder of another user can be made without root";
    EXPECT_EQ(readFile(others / "Velmo-9.zip"), "theirs");
}

TEST_F(UpdateInstallerTest, LeftoversOfUpdatesAreSweptButNothingThroughALink) {
    fs::create_directories(apps / ".Velmo-update-cut-short/Velmo.app/Contents");
    std::ofstream(apps / ".Velmo-update-cut-short/Velmo.app/Contents/Info.json") << "{";
    // A link shaped like an unconfirmed update must not bring another folder's copy in.
    BundleBuilder(key, 6).writeTo(temp / "elsewhere/Velmo.app");
    std::ofstream(temp / "elsewhere" / UpdateRecovery::recordName) << R"({"target":"Velmo.app","build":7,"download":""})";
    fs::create_directory_symlink(temp / "elsewhere", apps / ".Velmo-update-link");
    EXPECT_EQ(UpdateRecovery::recover(app), UpdateRecovery::Outcome::nothing);
    EXPECT_FALSE(fs::exists(apps / ".Velmo-update-cut-short"));
    EXPECT_EQ(readFile(temp / "elsewhere/Velmo.app/Contents/share/readme.txt"), "build 6\n");
    EXPECT_EQ(installedBuildText(), "build 7\n");
}

TEST(UpdateInstallErrorTest, RollbackNamesTheBackup) {
    const auto e = UpdateInstallError::rollbackFailed("/apps/.Velmo-update-X/Velmo.app");
    EXPECT_NE(std::string(e.what()).find("saved at /apps/.Velmo-update-X/Velmo.app. Quit Velmo"), std::string::npos);
    EXPECT_EQ(e, UpdateInstallError::rollbackFailed("/apps/.Velmo-update-X/Velmo.app"));
    EXPECT_FALSE(e == UpdateInstallError::rollbackFailed("/other"));
}

}  // namespace
}  // namespace velmo
