// The real velmo's life as the system and the shell see it: quit signals (also one in the middle
// of a receive, and one ignored by whoever started it), files named on the command line that do
// not exist, and a display that cannot be reached; and the start-up events main hands the model.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "AppProcess.h"
#include "Preloaded.h"
#include "velmo/AppDelegate.h"
#include "velmo/AppModelHarness.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path harness = VELMO_QUICKSHARE_HARNESS;

// The TCP port `pid` listens on (its Quick Share listener), or 0 while it listens on none.
int listeningPortNow(pid_t pid) {
    std::set<std::string> sockets;
    const auto fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        const auto target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:[", 0) == 0) sockets.insert(target.substr(8, target.size() - 9));
    }
    for (const char* table : {"/net/tcp6", "/net/tcp"}) {
        std::ifstream in("/proc/" + std::to_string(pid) + table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state == "0A" && sockets.count(inode)) return std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
        }
    }
    return 0;
}

// The port of `pid`'s Quick Share listener once it listens, or 0 when it never does.
int listeningPort(pid_t pid) {
    for (int tries = 0; tries < 200; ++tries) {
        if (const int port = listeningPortNow(pid)) return port;
        std::this_thread::sleep_for(50ms);
    }
    return 0;
}

// The harness as a phone named Pixel sending `file` to the listener on `port`.
test::AppProcess::Options phoneSending(int port, const std::filesystem::path& file) {
    return {{"send", "--to", "127.0.0.1:" + std::to_string(port), "--name", "Pixel", file.string()}, {}};
}

// A Velmo with a chosen sharing mode, receiving into Downloads of the test's home.
void chooseSharing(const test::TempFolder& temp) {
    std::filesystem::create_directories(temp / "home/.config/Velmo");
    std::filesystem::create_directories(temp / "home/Downloads");
    std::ofstream(temp / "home/.config/Velmo/Velmo.ini")
        << "[General]\nsharingConsentMode=askEachTime\ndownloadFolder=" << (temp / "home/Downloads").string() << "\n";
}

// A logout, `kill` or Ctrl+C ends Velmo as its Quit does: the phone whose offer is on screen
// hears the cancel rather than losing the connection, and the exit status says all went well.
TEST(AppLifeIntegrationTest, QuitSignalsCancelTransfersAndEndVelmoCleanly) {
    const test::TempFolder root;  // the cases' folders, under one that outlives the loop
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(::sigabbrev_np(number));
        test::TempFolder temp(root.path());
        test::isolateDesktop(temp);
        chooseSharing(temp);
        temp.write("photo.jpg", "jpeg");

        test::AppProcess velmo(test::velmoBinary, {{}, temp.path(), true});
        ASSERT_EQ(velmo.awaitReadiness(20s), "com.halvester.velmo\n");
        const int port = listeningPort(velmo.pid());
        ASSERT_NE(port, 0);
        test::AppProcess phone(harness, phoneSending(port, temp / "photo.jpg"));
        ASSERT_NE(phone.output("waitingForAccept", 20s).find("waitingForAccept"), std::string::npos);

        ASSERT_TRUE(velmo.signal(number));
        EXPECT_EQ(velmo.awaitExit(20s), 0);
        EXPECT_EQ(phone.awaitExit(20s), 1);
        EXPECT_NE(phone.output().find("The transfer was cancelled on the phone."), std::string::npos)
            << phone.output();
        EXPECT_TRUE(std::filesystem::is_empty(temp / "home/Downloads"));
    }
}

// A quit while a file's data comes in: Velmo waits for the receive to end as a cancel does, so
// the phone hears it and the part file goes before the process ends.
TEST(AppLifeIntegrationTest, AQuitInTheMiddleOfAReceiveTellsThePhoneAndLeavesNoPartFile) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    chooseSharing(temp);
    temp.write("video.mp4", "");
    std::filesystem::resize_file(temp / "video.mp4", 256 << 20);
    auto environment = test::preloaded({});
    environment["LD_PRELOAD"] = VELMO_ACCEPTING_PROMPT;
    test::AppProcess velmo(test::velmoBinary, {{}, temp.path(), true, false, environment});
    ASSERT_EQ(velmo.awaitReadiness(20s), "com.halvester.velmo\n");
    const int port = listeningPort(velmo.pid());
    ASSERT_NE(port, 0);
    test::AppProcess phone(harness, phoneSending(port, temp / "video.mp4"));
    const auto downloads = temp / "home/Downloads";
    for (int tries = 0; tries < 400 && std::filesystem::is_empty(downloads); ++tries) std::this_thread::sleep_for(25ms);
    ASSERT_FALSE(std::filesystem::is_empty(downloads)) << phone.output();
    ASSERT_TRUE(phone.signal(SIGSTOP));  // the data stops midway

    ASSERT_TRUE(velmo.signal(SIGTERM));
    EXPECT_EQ(velmo.awaitExit(20s), 0);
    EXPECT_EQ(test::entryNames(downloads), std::vector<std::string>{}) << "the part file stayed";
    ASSERT_TRUE(phone.signal(SIGCONT));
    EXPECT_EQ(phone.awaitExit(20s), 1);
    EXPECT_NE(phone.output().find("The transfer was cancelled on the phone."), std::string::npos) << phone.output();
}

// Started with nohup (SIGHUP ignored, as it is for a background job), Velmo outlives the logout.
TEST(AppLifeIntegrationTest, AQuitSignalIgnoredByWhoeverStartedVelmoStaysIgnored) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    test::AppProcess velmo("/usr/bin/nohup", {{test::velmoBinary.string()}, temp.path(), true});
    ASSERT_EQ(velmo.awaitReadiness(20s), "com.halvester.velmo\n");
    ASSERT_TRUE(velmo.signal(SIGHUP));
    EXPECT_EQ(velmo.awaitExit(2s), std::nullopt) << "the logout ended Velmo";
    ASSERT_TRUE(velmo.signal(SIGTERM));
    EXPECT_EQ(velmo.awaitExit(20s), 0);
}

// Names of nothing are said on standard error; a later launch that names nothing else fails.
TEST(AppLifeIntegrationTest, FilesThatDoNotExistAreNamedAndAHandOverOfNothingFails) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    chooseSharing(temp);
    temp.write("photo.jpg", "jpeg");

    test::AppProcess first(test::velmoBinary, {{"missing.jpg"}, temp.path(), true, true});
    ASSERT_EQ(first.awaitReadiness(20s), "com.halvester.velmo\n");
    EXPECT_NE(first.output("no such file", 10s).find("Velmo couldn't add missing.jpg: no such file."), std::string::npos);

    test::AppProcess nothing(test::velmoBinary, {{"/no/such/file", "gone.jpg"}, temp.path(), false, true});
    EXPECT_EQ(nothing.awaitExit(20s), 1);
    EXPECT_NE(nothing.output().find("Velmo couldn't add /no/such/file: no such file.\nVelmo couldn't add gone.jpg"),
              std::string::npos)
        << nothing.output();

    test::AppProcess some(test::velmoBinary, {{"gone.jpg", "photo.jpg"}, temp.path(), false, true});
    EXPECT_EQ(some.awaitExit(20s), 0);
    EXPECT_NE(some.output().find("Velmo couldn't add gone.jpg: no such file."), std::string::npos);
}

// A first launch's files that name nothing are said in the status line too, after the model
// has started and staged the others.
TEST(AppLifeIntegrationTest, AFirstLaunchNamesItsMissingFilesInTheStatusLine) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    test::AppModelHarness model;
    AppDelegate delegate(*model, {});
    const auto photo = model.file("photo.jpg");
    bool up = false;
    delegate.finishLaunching({photo}, {"gone.jpg"}, [&up] { up = true; });
    ASSERT_TRUE(test::pumpUntil([&] { return !model->staged().empty(); }));
    EXPECT_TRUE(up);
    EXPECT_TRUE(model->started());
    EXPECT_EQ(model.status(), "Couldn't add \u2068gone.jpg\u2069: no such file.");
}

// Qt aborts when it cannot reach the display; Velmo says so in a sentence instead.
TEST(AppLifeIntegrationTest, AnUnreachableDisplayIsSaidInASentence) {
    test::TempFolder temp;
    test::isolateDesktop(temp);
    test::AppProcess::Options options{{}, temp.path(), false, true};
    options.environment = {{"QT_QPA_PLATFORM", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"DISPLAY", "unix:4242"}};
    test::AppProcess velmo(test::velmoBinary, options);
    EXPECT_EQ(velmo.awaitExit(20s), 1);
    EXPECT_NE(velmo.output().find("Velmo needs a desktop to start: the display it was given (DISPLAY=unix:4242) cannot "
                                  "be reached, and no Velmo of yours is running to take the files.\n"),
              std::string::npos)
        << velmo.output();
}

}  // namespace
}  // namespace velmo
