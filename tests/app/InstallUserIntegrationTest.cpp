// The real install script and Makefile on a bundle of the test build's executable: what install
// and uninstall leave in a home, the desktop entry as the desktop reads it, an install made by
// the script before its entry carried a marker, and bundles and installs that check first.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <thread>

#include "AppProcess.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string entryName = "com.halvester.velmo.desktop";

// Every path below `folder`, with a link's target: the home's file list.
std::set<std::string> fileList(const fs::path& folder) {
    std::set<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string line = entry.path().lexically_relative(folder).string();
        if (entry.is_symlink()) line += " -> " + fs::read_symlink(entry.path()).string();
        out.insert(line);
    }
    return out;
}

// How many processes other than `except` still run `executable` after up to `timeout`; any
// left are killed.
std::size_t otherCopies(const fs::path& executable, pid_t except, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<pid_t> copies;
    do {
        copies.clear();
        for (const auto& process : fs::directory_iterator("/proc")) {
            const std::string name = process.path().filename().string();
            std::error_code ec;
            if (name.find_first_not_of("0123456789") == std::string::npos &&
                fs::read_symlink(process.path() / "exe", ec) == executable && std::stoi(name) != except)
                copies.push_back(std::stoi(name));
        }
        if (!copies.empty()) std::this_thread::sleep_for(50ms);
    } while (!copies.empty() && std::chrono::steady_clock::now() < deadline);
    for (const pid_t pid : copies) ::kill(pid, SIGKILL);
    return copies.size();
}

class InstallUserIntegrationTest : public ::testing::Test {
protected:
    // One unsigned bundle of the stripped executable for every case.
    static void SetUpTestSuite() {
        shared = std::make_unique<test::TempFolder>();
        ASSERT_EQ(test::runTool("/usr/bin/strip", {"--strip-all", "-o", *shared / "velmo", test::velmoBinary}), 0);
        ASSERT_EQ(test::runTool(test::releaseTool, {"bundle", "--executable", *shared / "velmo", "--version", "1.0",
                                              "--build", "3", "--icons", test::iconFolder, *shared / "bundle/Velmo.app"}),
                  0);
    }
    static void TearDownTestSuite() { shared.reset(); }

    void SetUp() override {
        ASSERT_TRUE(shared);
        test::isolateDesktop(temp);
        useHome(temp / "home");
        fs::create_directories(home / ".config/Velmo");
        fs::create_directories(home / "Downloads");
        std::ofstream(home / ".config/Velmo/Velmo.ini") << "[General]\nsharingConsentMode=quick\n";
        std::ofstream(home / "Downloads/photo.jpg") << "received";
    }

    void useHome(const fs::path& folder) {
        home = folder;
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        fs::create_directories(home / ".local/share");
    }

    int install(std::string* output = nullptr) {
        return test::runInSource({"./scripts/install-user", (*shared / "bundle/Velmo.app").string()}, output);
    }
    int uninstall(std::string* output = nullptr) { return test::runInSource({"make", "uninstall"}, output); }

    fs::path entry() const { return home / ".local/share/applications" / entryName; }
    fs::path command() const { return home / ".local/bin/velmo"; }

    static std::unique_ptr<test::TempFolder> shared;
    test::TempFolder temp;
    fs::path home;
};

std::unique_ptr<test::TempFolder> InstallUserIntegrationTest::shared;

TEST_F(InstallUserIntegrationTest, InstallThenUninstallLeavesTheHomesFileListAsItWas) {
    // Empty icon folders of the user's own, where install puts a link, are kept.
    fs::create_directories(home / ".local/share/icons/hicolor/256x256/apps");
    const auto before = fileList(home);
    std::string output;
    ASSERT_EQ(test::runInSource({"make", "-o", "bundle", "install", "BUNDLE_DIR=" + (*shared / "bundle").string()}, &output), 0)
        << output;
    // No cache of its own: one would hide what other programs add later until refreshed.
    EXPECT_FALSE(fs::exists(home / ".local/share/icons/hicolor/icon-theme.cache"));
    EXPECT_FALSE(fs::exists(home / ".local/share/applications/mimeinfo.cache"));
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_EQ(fileList(home), before);

    // Caches that are there already, over another program's icon, are kept up to date, and stay.
    fs::create_directories(home / ".local/share/icons/hicolor/48x48/apps");
    fs::copy_file(test::iconFolder / "48x48/apps/com.halvester.velmo.png",
                  home / ".local/share/icons/hicolor/48x48/apps/org.example.other.png");
    ASSERT_EQ(test::runTool("/usr/bin/gtk-update-icon-cache", {"-f", "-q", "-t", home / ".local/share/icons/hicolor"}), 0);
    fs::create_directories(home / ".local/share/applications");
    ASSERT_EQ(test::runTool("/usr/bin/update-desktop-database", {home / ".local/share/applications"}), 0);
    const auto cached = fileList(home);
    const auto iconCache = home / ".local/share/icons/hicolor/icon-theme.cache";
    const auto otherIconCache = test::readFile(iconCache);
    ASSERT_FALSE(otherIconCache.empty());
    ASSERT_EQ(install(&output), 0) << output;
    EXPECT_NE(test::readFile(iconCache), otherIconCache) << "the icon cache lists Velmo's icon";
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_EQ(fileList(home), cached);
}

// Exec quotes the command; the desktop entry rules escape \ twice, once for the quotes and once
// for the key file. GLib's launcher finds the command through it, and hands the file over.
TEST_F(InstallUserIntegrationTest, AHomeWithABackslashGetsAnEntryTheDesktopAccepts) {
    useHome(temp / "back\\slash \"quoted\" $HOME `x`\\");
    std::string output;
    ASSERT_EQ(install(&output), 0) << output;
    EXPECT_EQ(test::runTool("/usr/bin/desktop-file-validate", {entry()}, &output), 0);
    EXPECT_EQ(output, "");
    test::AppProcess running(command(), {{}, {}, true});
    ASSERT_EQ(running.awaitReadiness(20s), "com.halvester.velmo\n");
    temp.write("photo.jpg", "jpeg");
    EXPECT_EQ(test::runTool("/usr/bin/gio", {"launch", entry(), temp / "photo.jpg"}, &output), 0) << output;
    EXPECT_EQ(otherCopies(fs::canonical(command()), running.pid(), 20s), 0u) << "the launched copy handed over";

    // A % cannot be written so that GLib finds the command: install says so.
    useHome(temp / "100%");
    ASSERT_EQ(install(&output), 0) << output;
    EXPECT_NE(output.find("has a % in its path"), std::string::npos) << output;
    EXPECT_EQ(test::runTool("/usr/bin/desktop-file-validate", {entry()}, &output), 0);
    EXPECT_EQ(output, "");
}

// dash's echo reads a \ before a letter as an escape: \t and \b a control character, \c the
// end of the output. Every path is the home's as it stands; a real tab is escaped in the entry.
TEST_F(InstallUserIntegrationTest, AHomeWithABackslashBeforeALetterGetsTheWholeInstall) {
    for (const std::string name : {"CORP\\tom", "q\\cz", "b\\bx", "e\\ex", "t\tab"}) {
        SCOPED_TRACE(name);
        const auto homes = temp / ("homes of " + name.substr(0, 1));
        useHome(homes / name);
        const auto before = fileList(homes);
        std::string output;
        ASSERT_EQ(install(&output), 0) << output;
        EXPECT_TRUE(fs::is_regular_file(entry()));
        EXPECT_TRUE(fs::is_regular_file(command())) << "the command's link leads to the application";
        for (const auto& size : fs::directory_iterator(test::iconFolder)) {
            const auto icon = home / ".local/share/icons/hicolor" / size.path().filename() / "apps/com.halvester.velmo.png";
            EXPECT_TRUE(fs::is_regular_file(icon)) << icon;
        }
        EXPECT_EQ(test::runTool("/usr/bin/desktop-file-validate", {entry()}, &output), 0) << output;
        ASSERT_EQ(uninstall(&output), 0) << output;
        EXPECT_EQ(fileList(homes), before) << "nothing is left, beside the home or in it";
    }
}

// The script before the marker wrote this entry, claiming every file type for a command that
// uninstall then removed.
std::string entryBeforeTheMarker(const fs::path& command) {
    return "[Desktop Entry]\nType=Application\nName=Velmo\nGenericName=File Transfer\n"
           "Comment=Send files between this computer and phones on the same Wi-Fi\nExec=\"" +
           command.string() +
           "\" %F\nIcon=com.halvester.velmo\nTerminal=false\nCategories=Network;FileTransfer;\n"
           "MimeType=application/octet-stream;\nKeywords=Quick Share;phone;send;receive;\nStartupNotify=true\n"
           "SingleMainWindow=true\n";
}

TEST_F(InstallUserIntegrationTest, TheEntryOfTheInstallBeforeTheMarkerIsVelmosOwn) {
    std::string output;
    ASSERT_EQ(install(&output), 0) << output;
    std::ofstream(entry(), std::ios::trunc) << entryBeforeTheMarker(command());
    ASSERT_EQ(install(&output), 0) << output;
    EXPECT_EQ(test::readFile(entry()).find("MimeType"), std::string::npos) << "replaced";
    std::ofstream(entry(), std::ios::trunc) << entryBeforeTheMarker(command());
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_FALSE(fs::exists(entry())) << output;

    // Only that exact entry: one for another command is someone else's.
    ASSERT_EQ(install(&output), 0) << output;
    const auto other = entryBeforeTheMarker("/usr/local/bin/velmo");
    std::ofstream(entry(), std::ios::trunc) << other;
    EXPECT_EQ(install(&output), 1);
    EXPECT_NE(output.find("which leaves them alone:\n  " + entry().string()), std::string::npos) << output;
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_EQ(test::readFile(entry()), other);
}

TEST_F(InstallUserIntegrationTest, TheCommandIsVelmosOnlyAsTheLinkInstallMade) {
    // Links of the user's own, one even into the folder Velmo installs to.
    for (const fs::path& target :
         {fs::path("/usr/bin/true"), home / ".local/lib/velmo/Velmo.app/Contents/bin/velmo-old", fs::path("Velmo")}) {
        SCOPED_TRACE(target);
        fs::create_directories(command().parent_path());
        fs::create_symlink(target, command());
        std::string output;
        EXPECT_EQ(install(&output), 1);
        EXPECT_NE(output.find("which leaves them alone:\n  " + command().string()), std::string::npos)
            << output;
        EXPECT_FALSE(fs::exists(entry()));
        EXPECT_EQ(uninstall(&output), 0);
        EXPECT_EQ(fs::read_symlink(command()), target);
        fs::remove(command());
    }

    // A script the user puts in place of the link after installing survives uninstall.
    std::string output;
    ASSERT_EQ(install(&output), 0) << output;
    fs::remove(command());
    std::ofstream(command()) << "#!/bin/sh\necho mine\n";
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_EQ(test::readFile(command()), "#!/bin/sh\necho mine\n");
    EXPECT_NE(output.find("Left alone (not installed by Velmo's install): " + command().string()), std::string::npos)
        << output;
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_FALSE(fs::exists(home / ".local/lib/velmo"));
}

TEST_F(InstallUserIntegrationTest, MakeChecksBeforeItBuildsOrRemovesAnything) {
    // A bundle that cannot be made, for a bad number or a failing step, leaves the previous one.
    const auto release = test::makeReleaseBuild(temp / "release build", false);
    const auto out = temp / "out";
    fs::create_directories(out / "Velmo.app");
    temp.write("out/Velmo.app/previous", "1");
    temp.write("out/Velmo.zip", "previous");
    const auto previous = fileList(out);
    for (const std::string number : {"abc", "0", "2"}) {
        SCOPED_TRACE(number);
        std::string output;
        EXPECT_NE(test::runInSource({"make", "-o", "release-build", "bundle", "BUILD_NUMBER=" + number,
                            "RELEASE_BUILD=" + release.string(), "BUNDLE_DIR=" + out.string()},
                           &output),
                  0)
            << output;
        EXPECT_EQ(fileList(out), previous);
    }

    // What is in the way of an install is named before a build: a build folder under a regular
    // file would fail at once.
    temp.write("file", "");
    const auto noBuild = "RELEASE_BUILD=" + (temp / "file/build").string();
    fs::create_directories(command().parent_path());
    std::ofstream(command()) << "#!/bin/sh\necho mine\n";
    std::string output;
    EXPECT_EQ(test::runInSource({"make", "install", noBuild}, &output), 2);
    EXPECT_NE(output.find("which leaves them alone:\n  " + command().string()), std::string::npos) << output;
    fs::remove(command());
    ASSERT_EQ(install(&output), 0) << output;
    EXPECT_EQ(test::runInSource({"make", "install", "BUILD_NUMBER=2", noBuild}, &output), 2);
    EXPECT_NE(output.find("Velmo 1.0 (build 3, unsigned: it will not update itself) is installed, a newer build "
                          "than build 2, which this would install."),
              std::string::npos)
        << output;
}

TEST_F(InstallUserIntegrationTest, UninstallTakesWhereLaunchesMeetOnceNoVelmoHoldsIt) {
    std::string output;
    ASSERT_EQ(install(&output), 0) << output;
    const auto meeting = test::accountHome(temp) / ".local/state/velmo-instance";
    fs::create_directories(meeting);
    for (const char* name : {"instance-gone.lock", "instance-gone.socket", "instance-running.lock"})
        std::ofstream(meeting / name) << "";
    const int running = ::open((meeting / "instance-running.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(running, LOCK_EX), 0);
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_FALSE(fs::exists(meeting / "instance-gone.lock"));
    EXPECT_FALSE(fs::exists(meeting / "instance-gone.socket"));
    EXPECT_TRUE(fs::exists(meeting / "instance-running.lock"));  // a Velmo still runs there
    EXPECT_NE(output.find("Velmo is still running, so "), std::string::npos) << output;
    ::close(running);
    // Once it has quit, uninstall takes what it left, with nothing else installed.
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_FALSE(fs::exists(meeting)) << output;
    fs::create_directories(meeting);
    std::ofstream(meeting / "instance-gone.lock") << "";
    ASSERT_EQ(install(&output), 0) << output;
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_FALSE(fs::exists(meeting));
    EXPECT_TRUE(fs::is_empty(meeting.parent_path())) << "an empty state folder Velmo did not make stays";

    // The folders above it that Velmo lists as its own making go once empty; nothing else does.
    // Velmo writes them as it finds the home: the password database's.
    const fs::path account = ::getpwuid(::getuid())->pw_dir;
    fs::remove_all(test::accountHome(temp) / ".local");
    fs::create_directories(meeting);
    std::ofstream(meeting / "made-folders") << (account / ".local/state").string() << "\n"
                                            << (account / ".local").string() << "\n"
                                            << account.string() << "\n/tmp\n";
    std::ofstream(meeting / "instance-gone.lock") << "";
    ASSERT_EQ(install(&output), 0) << output;
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_FALSE(fs::exists(test::accountHome(temp) / ".local")) << output;
    EXPECT_TRUE(fs::exists(test::accountHome(temp)));
}

// The usual order: install, start Velmo, uninstall while it runs, quit it, uninstall again. Its
// folder keeps ~/.local (which install made) through the first uninstall; the second takes it,
// also where HOME names the home otherwise than the password database.
TEST_F(InstallUserIntegrationTest, UninstallWhileVelmoRunsThenAfterItQuitsLeavesTheHomeAsItWas) {
    // The account's home, where Velmo's folder is, named as a session may: with a trailing slash.
    useHome(std::string(::getpwuid(::getuid())->pw_dir) + "/");
    fs::remove_all(home / ".local");
    const auto before = fileList(home);
    std::string output;
    ASSERT_EQ(install(&output), 0) << output;
    {
        test::AppProcess running(command(), {{}, {}, true});
        ASSERT_EQ(running.awaitReadiness(20s), "com.halvester.velmo\n");
        ASSERT_EQ(uninstall(&output), 0) << output;
        EXPECT_NE(output.find("Velmo is still running, so "), std::string::npos) << output;
        ASSERT_TRUE(running.signal(SIGTERM));
        EXPECT_EQ(running.awaitExit(20s), 0);
    }
    ASSERT_EQ(uninstall(&output), 0) << output;
    EXPECT_EQ(fileList(home), before) << output;
}

// An update holds the install folder's lock from its exchange until the new copy is up: an
// install meanwhile waits, and leaves the update's staging folder alone until then.
TEST_F(InstallUserIntegrationTest, AnInstallWaitsWhileAnUpdateHoldsTheFolder) {
    std::string output;
    ASSERT_EQ(install(&output), 0) << output;
    const auto lib = home / ".local/lib/velmo";
    const auto staging = lib / ".Velmo-update-0B5B2D8E-7F0C-4C55-9E83-1D2F5A3C6E11";
    const int folder = ::open(lib.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    fs::create_directories(staging / "Velmo.app");
    std::string later;
    auto installing = std::async(std::launch::async, [&] { return install(&later); });
    EXPECT_EQ(installing.wait_for(2s), std::future_status::timeout) << later;
    EXPECT_TRUE(fs::exists(staging / "Velmo.app")) << "the install worked beside the update";
    ::close(folder);
    EXPECT_EQ(installing.get(), 0) << later;
    EXPECT_FALSE(fs::exists(staging)) << "what the update left goes once it has let go";
}

}  // namespace
}  // namespace velmo
