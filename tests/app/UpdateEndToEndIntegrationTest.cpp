// An installed copy of the real velmo updates itself: the release tool signs bundles N and N+1
// and publishes N+1; N is installed with the real install script; the feed and archive come over
// loopback HTTPS from a certificate authority of the test's own; the update controller, feed
// client and installer are the real ones, and the installer relaunches the real N+1 offscreen.
// The Makefile's bundle, install and uninstall run here too, on the test build's executable.
// The transport names a member "signals", which Qt defines as a keyword: it comes first.
#include "updatecore/CurlTransport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <regex>

#include "AppProcess.h"
#include "updatecore/UpdateInstallError.h"
#include "updatecore/UpdateInstaller.h"
#include "updatecore/UpdateTestKit.h"
#include "velmo/model/SoftwareUpdates.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Every entry below `folder` with its mode and content, to compare a folder byte for byte.
std::map<std::string, std::pair<fs::perms, std::string>> snapshot(const fs::path& folder) {
    std::map<std::string, std::pair<fs::perms, std::string>> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        out[entry.path().lexically_relative(folder).string()] = {
            entry.symlink_status().permissions(), entry.is_regular_file() ? test::readFile(entry.path()) : std::string()};
    return out;
}

int installScript(std::vector<std::string> arguments, std::string* output = nullptr) {
    arguments.insert(arguments.begin(), "./scripts/install-user");
    return test::runInSource(std::move(arguments), output);
}

// What is left of Velmo under `folder`: anything named after it, linking into it or mentioning it.
std::vector<std::string> traces(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string text = entry.path().filename().string();
        std::error_code ec;
        if (entry.is_symlink()) text += fs::read_symlink(entry.path(), ec).string();
        else if (entry.is_regular_file()) text += test::readFile(entry.path());
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        if (text.find("velmo") != std::string::npos) out.push_back(entry.path().lexically_relative(folder).string());
    }
    return out;
}

// Live children of this process that run `executable`.
std::vector<pid_t> runningCopies(const fs::path& executable) {
    std::vector<pid_t> out;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = test::readFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int parent = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2 || parent != ::getpid() || state == 'Z')
            continue;
        std::error_code ec;
        if (fs::read_symlink(entry.path() / "exe", ec) == executable) out.push_back(std::stoi(name));
    }
    return out;
}

// Answers "Install and Relaunch" and keeps every alert.
class InstallingPresenter : public UpdateAlertPresenter {
public:
    void show(const QString& message, const QString& informative, const std::optional<QString>& firstButton,
              std::function<void(bool)> answered) override {
        alerts.push_back(message.toStdString() + " | " + informative.toStdString());
        if (firstButton) installChosen = Clock::now();
        answered(firstButton.has_value());
    }
    std::vector<std::string> alerts;
    Clock::time_point installChosen;
};

// The real feed client and installer; only the feed's address (loopback), its certificate
// authority and the relaunch time-out are the test's.
class LoopbackActions : public UpdateActions {
public:
    std::optional<UpdateRelease> check(const UpdateFeed& feed, const std::atomic<bool>& cancel) override {
        return loopback(feed).check(cancel);
    }
    fs::path download(const UpdateFeed& feed, const UpdateRelease& release, const std::atomic<bool>& cancel) override {
        return loopback(feed).download(release, cancel);
    }
    void install(const fs::path& archive, const fs::path& target, const std::string& version, std::int64_t build,
                 const std::atomic<bool>& cancel) override {
        UpdateInstaller::install(archive, target, version, build, cancel, {relaunchTimeout, {}});
        newCopyReady = Clock::now();
    }
    bool quit() override { return quitAsked = true; }

    std::string feedURL;
    fs::path authority;
    fs::path downloads;
    std::chrono::milliseconds relaunchTimeout{30'000};
    Clock::time_point newCopyReady;
    std::atomic<bool> quitAsked{false};

private:
    UpdateFeed loopback(const UpdateFeed& feed) const {
        return UpdateFeed(feed.publicKey(), feedURL, feed.channel(), feed.currentBuild(),
                          std::make_shared<CurlTransport>(CurlTransport::Timeouts{}, authority), downloads);
    }
};

class UpdateEndToEndIntegrationTest : public test::UpdatingAppTest {
protected:
    void SetUp() override {
        UpdatingAppTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
        fs::create_directories(temp / "www/updates");
        fs::create_directories(downloads);
        ASSERT_EQ(makeBundle(executable, "1.0", 1, first), 0);
        ASSERT_EQ(makeBundle(executable, "1.1", 2, next), 0);
        ASSERT_EQ(publish(next), 0);
        std::string output;
        ASSERT_EQ(installScript({first}, &output), 0) << output;
        serve();
    }

    // A certificate authority of the test's own and a server for www/ presenting its certificate.
    void serve() {
        authority = std::make_unique<test::TestAuthority>(temp.path());
        server = std::make_unique<test::LoopbackHttpServer>(authority.get());
        for (const auto& entry : fs::recursive_directory_iterator(temp / "www"))
            if (entry.is_regular_file())
                server->respond("/" + entry.path().lexically_relative(temp / "www").generic_string(),
                                test::LoopbackHttpServer::response(200, test::readFile(entry.path())));
        actions->feedURL =
            "https://127.0.0.1:" + std::to_string(server->port()) + "/updates/" + channel + "/feed.json";
        actions->authority = authority->caFile();
        actions->downloads = downloads;
    }

    // Runs the manual check to its end, as the user's "Check for Updates…" does.
    void checkAndInstall() {
        SoftwareUpdates::Dependencies dependencies;
        dependencies.info = SoftwareUpdates::readInfo(installed);
        dependencies.bundle = installed;
        dependencies.isReadyForUpdate = [] { return true; };
        dependencies.hasSharingMode = [] { return true; };
        dependencies.presenter = presenter;
        dependencies.actions = actions;
        SoftwareUpdates updates(std::move(dependencies));
        ASSERT_TRUE(updates.isConfigured());
        updates.checkNow();
        const auto deadline = Clock::now() + 60s;
        while (updates.isBusy() && Clock::now() < deadline) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_FALSE(updates.isBusy());
    }

    // Publishes `bundle` to the served folder as a release machine does; answers the exit status
    // and, when asked, what it said on both streams.
    int publish(const fs::path& bundle, std::vector<std::string> options = {}, std::string* output = nullptr) {
        options.insert(options.end(), {"--key", key, "--out", (temp / "www/updates").string(), bundle.string()});
        options.insert(options.begin(), {test::releaseTool.string(), "publish"});
        return test::runInSource(options, output);
    }

    int argc = 1;
    char name[5] = "test";
    char* argv[1] = {name};
    const fs::path home = temp / "home";
    const fs::path first = temp / "first/Velmo.app";
    const fs::path next = temp / "next/Velmo.app";
    const fs::path installed = home / ".local/lib/velmo/Velmo.app";
    const fs::path downloads = temp / "downloads";
    std::unique_ptr<test::TestAuthority> authority;
    std::unique_ptr<test::LoopbackHttpServer> server;
    std::shared_ptr<InstallingPresenter> presenter = std::make_shared<InstallingPresenter>();
    std::shared_ptr<LoopbackActions> actions = std::make_shared<LoopbackActions>();
};

TEST_F(UpdateEndToEndIntegrationTest, TheNewCopyTakesThePlaceOfTheOldAndRuns) {
    // The installed copy runs, as it does when the user installs an update.
    auto previous = std::make_unique<test::AppProcess>(installed / "Contents/bin/Velmo", test::AppProcess::Options{{}, {}, true});
    ASSERT_EQ(previous->awaitReadiness(20s), "com.halvester.velmo\n");
    checkAndInstall();
    ASSERT_EQ(presenter->alerts.size(), 1u) << presenter->alerts.back();
    EXPECT_EQ(presenter->alerts[0].rfind("Velmo 1.1 is available", 0), 0u);
    EXPECT_TRUE(actions->quitAsked);
    EXPECT_EQ(SoftwareUpdates::readInfo(installed)["CFBundleVersion"], "2");
    const auto copies = runningCopies(installed / "Contents/bin/Velmo");
    EXPECT_EQ(copies.size(), 1u) << "the updated copy runs";
    EXPECT_EQ(test::entryNames(installed.parent_path()), std::vector<std::string>{"Velmo.app"}) << "no staging folder is left";
    EXPECT_TRUE(fs::is_empty(downloads)) << "no download is left";
    std::cout << "Install to new copy ready: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(actions->newCopyReady - presenter->installChosen).count()
              << " ms\n";
    // Once the previous copy has gone, the new one is the Velmo that the installed command reaches.
    previous.reset();
    test::AppProcess later(home / ".local/bin/velmo", {});
    EXPECT_EQ(later.awaitExit(20s), 0);
    for (const pid_t pid : copies) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

TEST_F(UpdateEndToEndIntegrationTest, ACopyThatNeverReportsReadyIsRolledBack) {
    actions->relaunchTimeout = 0ms;
    const auto before = snapshot(installed);
    checkAndInstall();
    ASSERT_EQ(presenter->alerts.size(), 2u);
    EXPECT_EQ(presenter->alerts[1], std::string("Velmo couldn\u2019t update | ") +
                                        UpdateInstallError(UpdateInstallError::Kind::relaunchFailed).what());
    EXPECT_FALSE(actions->quitAsked);
    EXPECT_TRUE(snapshot(installed) == before) << "the previous copy is back, byte for byte";
    EXPECT_TRUE(runningCopies(installed / "Contents/bin/Velmo").empty());
    EXPECT_EQ(test::entryNames(installed.parent_path()), std::vector<std::string>{"Velmo.app"}) << "no staging folder is left";
    EXPECT_TRUE(fs::is_empty(downloads)) << "no download is left";
}

TEST_F(UpdateEndToEndIntegrationTest, InstallSaysWhatItReplacesAndKeepsANewerBuildUnlessForced) {
    std::string output;
    ASSERT_EQ(installScript({next}, &output), 0) << output;
    EXPECT_NE(output.find("Replacing Velmo 1.0 (build 1, signed for updates)\n     with Velmo 1.1 (build 2, signed "
                          "for updates)"),
              std::string::npos)
        << output;
    const auto newer = snapshot(installed);
    EXPECT_EQ(installScript({first}, &output), 1);
    EXPECT_NE(output.find("Velmo 1.1 (build 2, signed for updates) is installed, a newer build than this Velmo 1.0 "
                          "(build 1, signed for updates)"),
              std::string::npos)
        << output;
    EXPECT_TRUE(snapshot(installed) == newer);
    // The bundle is built already: make takes it from BUNDLE_DIR.
    ASSERT_EQ(test::runInSource({"make", "-o", "bundle", "install", "FORCE=1", "BUNDLE_DIR=" + first.parent_path().string()},
                          &output),
              0)
        << output;
    EXPECT_EQ(SoftwareUpdates::readInfo(installed)["CFBundleVersion"], "1");
}

TEST_F(UpdateEndToEndIntegrationTest, InstallAndUninstallLeaveWhatTheyDidNotPutThereAlone) {
    ASSERT_EQ(installScript({"--uninstall"}), 0);
    const fs::path local = home / ".local";
    for (const fs::path& theirs :
         {local / "bin/velmo", local / "share/applications/com.halvester.velmo.desktop",
          local / "share/icons/hicolor/256x256/apps/com.halvester.velmo.png", local / "lib/velmo/Velmo.app/notes"}) {
        SCOPED_TRACE(theirs);
        fs::create_directories(theirs.parent_path());
        std::ofstream(theirs) << "#!/bin/sh\necho mine\n";
        const auto before = snapshot(local);
        std::string output;
        EXPECT_EQ(installScript({first}, &output), 1);
        EXPECT_NE(output.find("not put there by Velmo's install"), std::string::npos) << output;
        EXPECT_NE(output.find(theirs.parent_path().string()), std::string::npos) << output;
        EXPECT_TRUE(snapshot(local) == before) << "nothing changed";
        EXPECT_EQ(installScript({"--uninstall"}, &output), 0) << output;
        EXPECT_TRUE(snapshot(local) == before) << "nothing removed";
        fs::remove(theirs);
    }
}

// Paths with spaces, beside folders that a path split at its space would name.
TEST_F(UpdateEndToEndIntegrationTest, MakeBundleInstallAndUninstallTouchOnlyTheirOwnPaths) {
    const auto release = test::makeReleaseBuild(temp / "release build");
    for (const std::string neighbour : {"out", "dir"}) {
        fs::create_directories(temp / neighbour);
        temp.write(neighbour + "/keep", "mine");
    }
    const auto spaced = temp / "home dir";
    ::setenv("HOME", spaced.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (spaced / ".local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (spaced / ".config").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (temp / "no system data").c_str(), 1);  // only this home's applications
    fs::create_directories(spaced / ".config/Velmo");
    fs::create_directories(spaced / ".local/share");  // kept by uninstall, which takes only what install made
    fs::create_directories(spaced / "Downloads");
    std::ofstream(spaced / ".config/Velmo/Velmo.ini") << "[General]\nsharingConsentMode=quick\n";
    std::ofstream(spaced / "Downloads/photo.jpg") << "received";

    std::string output;
    ASSERT_EQ(test::runInSource({"make", "-o", "release-build", "install", "VERSION=2.0", "BUILD_NUMBER=3",
                           "RELEASE_BUILD=" + release.string(), "BUNDLE_DIR=" + (temp / "out dir").string()},
                          &output),
              0)
        << output;
    for (const std::string neighbour : {"out", "dir"}) EXPECT_EQ(test::readFile(temp / neighbour / "keep"), "mine");
    auto bundled = test::entryNames(temp / "out dir");
    std::sort(bundled.begin(), bundled.end());
    EXPECT_EQ(bundled, (std::vector<std::string>{"Velmo.app", "Velmo.zip"}));
    ASSERT_EQ(test::runTool(spaced / ".local/bin/velmo", {"--version"}, &output), 0);
    EXPECT_EQ(output, "Velmo 2.0 (build 3)\n");
    // Debian 12's validator accepts the entry, and it makes Velmo no file type's default.
    const auto entry = spaced / ".local/share/applications/com.halvester.velmo.desktop";
    EXPECT_EQ(test::runTool("/usr/bin/desktop-file-validate", {entry}, &output), 0);
    EXPECT_EQ(output, "");
    test::runTool("/usr/bin/gio", {"mime", "application/octet-stream"}, &output);
    EXPECT_EQ(output.find("velmo"), std::string::npos) << output;

    ASSERT_EQ(test::runInSource({"make", "uninstall"}, &output), 0) << output;
    EXPECT_EQ(traces(spaced / ".local"), std::vector<std::string>{});
    EXPECT_EQ(test::readFile(spaced / ".config/Velmo/Velmo.ini"), "[General]\nsharingConsentMode=quick\n");
    EXPECT_EQ(test::readFile(spaced / "Downloads/photo.jpg"), "received");
}

// The newest GLIBC_ version that binutils finds among the executable's dynamic symbols.
std::string highestGlibcSymbol(const fs::path& executable) {
    std::string symbols;
    EXPECT_EQ(test::runTool("/usr/bin/objdump", {"-T", executable.string()}, &symbols), 0);
    std::string best;
    const std::regex version(R"(GLIBC_([0-9]+)\.([0-9]+)(\.([0-9]+))?)");
    std::array<long, 3> bestParts{};
    for (std::sregex_iterator m(symbols.begin(), symbols.end(), version), end; m != end; ++m) {
        const std::array<long, 3> parts{std::stol((*m)[1]), std::stol((*m)[2]), (*m)[4].matched ? std::stol((*m)[4]) : 0};
        if (parts > bestParts) bestParts = parts, best = m->str().substr(6);
    }
    return best;
}

TEST_F(UpdateEndToEndIntegrationTest, ABundleNeedsTheCLibraryItsExecutableNeedsNotTheBuildMachines) {
    const auto info = SoftwareUpdates::readInfo(installed);
    const auto needed = highestGlibcSymbol(installed / "Contents/bin/Velmo");
    ASSERT_FALSE(needed.empty());
    EXPECT_EQ(info.value("LSMinimumSystemVersion", std::string()), needed);
}

TEST_F(UpdateEndToEndIntegrationTest, PublishingNeverWithdrawsAReleaseNorReplacesItsArchive) {
    const auto folder = temp / "www/updates" / channel;
    const auto feed = test::readFile(folder / "feed.json");
    const auto archive = test::readFile(folder / "Velmo-2.zip");

    // Build 1 after build 2 would take build 2 back from every copy that has not updated yet.
    EXPECT_EQ(publish(first), 1);
    EXPECT_EQ(test::readFile(folder / "feed.json"), feed);
    EXPECT_FALSE(fs::exists(folder / "Velmo-1.zip"));

    // Publishing the same bundle again changes nothing, not even the files' times (an upload
    // by date would send them again).
    const auto then = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
    for (const char* published : {"feed.json", "Velmo-2.zip"}) fs::last_write_time(folder / published, then);
    EXPECT_EQ(publish(temp / "next/Velmo.app"), 0);
    EXPECT_EQ(test::readFile(folder / "feed.json"), feed);
    EXPECT_TRUE(test::readFile(folder / "Velmo-2.zip") == archive) << "the published archive is untouched";
    for (const char* published : {"feed.json", "Velmo-2.zip"})
        EXPECT_EQ(fs::last_write_time(folder / published), then) << published;

    // Another bundle under the published build number would put other bytes under its name.
    ASSERT_EQ(makeBundle(installed / "Contents/bin/Velmo", "1.1.1", 2, temp / "other/Velmo.app", false), 0);
    EXPECT_EQ(publish(temp / "other/Velmo.app"), 1);
    EXPECT_EQ(test::readFile(folder / "feed.json"), feed);
    EXPECT_TRUE(test::readFile(folder / "Velmo-2.zip") == archive) << "the published archive is untouched";
    EXPECT_EQ(test::entryNames(folder).size(), 2u) << "nothing half-written is left";

    // Without its feed, the channel folder still holds the newer build's archive.
    fs::remove(folder / "feed.json");
    EXPECT_EQ(publish(first), 1);
    EXPECT_FALSE(fs::exists(folder / "feed.json"));
    EXPECT_FALSE(fs::exists(folder / "Velmo-1.zip"));

    // A feed that does not verify is not taken for a release, nor silently overwritten; the
    // way out says what it costs.
    std::ofstream(folder / "feed.json", std::ios::trunc) << "{}";
    std::string output;
    EXPECT_EQ(publish(temp / "next/Velmo.app", {}, &output), 1);
    EXPECT_EQ(test::readFile(folder / "feed.json"), "{}");
    EXPECT_NE(output.find("--force to replace it. If it was signed with another update key, copies installed with "
                          "that key will then refuse every later update"),
              std::string::npos)
        << output;

    // --force does what it is asked.
    EXPECT_EQ(publish(first, {"--force"}, &output), 0);
    EXPECT_NE(output.find("feed.json: Velmo 1.0 (build 1)"), std::string::npos) << output;
    EXPECT_TRUE(fs::exists(folder / "Velmo-1.zip"));
}

// A release built for another feed address (a new release machine, a clone without the
// build option) would move every copy that takes it to a feed the publisher never writes.
TEST_F(UpdateEndToEndIntegrationTest, PublishKeepsTheChannelOnTheFeedAddressItsCopiesRead) {
    const auto folder = temp / "www/updates" / channel;
    const std::string url = SoftwareUpdates::feedAddress(channel);
    const std::string address = url.substr(0, url.size() - std::string("/").size() - std::strlen(channel) -
                                                  std::string("/feed.json").size());
    // The same executable built with another address of the same length.
    std::string other = address;
    other.back() = other.back() == 'z' ? 'y' : 'z';
    temp.write("other-address", other + std::string(1, '\0'));
    const auto moved = temp / "velmo-other-address";
    ASSERT_EQ(test::runTool("/usr/bin/objcopy", {"--update-section", "velmo_update_feed=" + (temp / "other-address").string(),
                                                 temp / "velmo", moved}),
              0);
    std::string output;
    ASSERT_EQ(makeBundle(moved, "1.2", 3, temp / "moved/Velmo.app", false, &output), 0) << output;
    EXPECT_NE(output.find("feed: " + other + "/" + channel + "/feed.json"), std::string::npos) << output;

    const auto feed = test::readFile(folder / "feed.json");
    EXPECT_EQ(publish(temp / "moved/Velmo.app", {}, &output), 1);
    EXPECT_NE(output.find("reads its updates from " + other + "/"), std::string::npos) << output;
    EXPECT_NE(output.find("reads them from " + url), std::string::npos) << output;
    EXPECT_EQ(test::readFile(folder / "feed.json"), feed);
    EXPECT_FALSE(fs::exists(folder / "Velmo-3.zip"));

    // An executable that records no address at all tells nothing of where its copies look.
    const auto unaddressed = temp / "velmo-no-address";
    ASSERT_EQ(test::runTool("/usr/bin/objcopy", {"--remove-section", "velmo_update_feed", temp / "velmo", unaddressed}), 0);
    ASSERT_EQ(makeBundle(unaddressed, "1.2", 3, temp / "unaddressed/Velmo.app", false, &output), 0) << output;
    EXPECT_EQ(publish(temp / "unaddressed/Velmo.app", {}, &output), 1);
    EXPECT_NE(output.find("its executable records no feed address"), std::string::npos) << output;
    EXPECT_EQ(test::readFile(folder / "feed.json"), feed);
    EXPECT_FALSE(fs::exists(folder / "Velmo-3.zip"));

    // The next build for the same address goes out, and every step says where copies look.
    ASSERT_EQ(makeBundle(temp / "velmo", "1.2", 3, temp / "same/Velmo.app", false, &output), 0) << output;
    EXPECT_NE(output.find("feed: " + url), std::string::npos) << output;
    EXPECT_EQ(publish(temp / "same/Velmo.app", {}, &output), 0) << output;
    EXPECT_NE(output.find("feed.json: Velmo 1.2 (build 3) for test-x86_64\n  feed: " + url), std::string::npos)
        << output;
    EXPECT_EQ(test::runTool(test::releaseTool, {"verify", folder / "Velmo-3.zip"}, &output), 0);
    EXPECT_NE(output.find("feed: " + url), std::string::npos) << output;
}

}  // namespace
}  // namespace velmo
