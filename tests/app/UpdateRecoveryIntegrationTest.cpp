// An update cut off while the new copy is still starting: the real installer exchanges the
// release tool's bundles of the real velmo, the session ends (both copies are killed), and the
// next launch of the installed copy finishes what was left, and the copy it puts back says so once.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "AppProcess.h"
#include "updatecore/UpdateRecovery.h"
#include "velmo/AppModelHarness.h"
#include "velmo/AppUpdates.h"
#include "velmo/model/Settings.h"
#include "updatecore/UpdateInstaller.h"
#include "velmo/model/SoftwareUpdates.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A display server that accepts connections and never answers, under an abstract socket name
// of its own: a Velmo started against it is a new copy that is slow to start.
class SilentDisplay {
public:
    SilentDisplay() {
        for (number_ = 6000 + ::getpid() % 3000; fd_ < 0 && number_ < 9100; ++number_) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const std::string name = "/tmp/.X11-unix/X" + std::to_string(number_);
            std::memcpy(address.sun_path + 1, name.data(), name.size());
            const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd, 4) == 0) {
                fd_ = fd;
                return;
            }
            ::close(fd);
        }
    }
    ~SilentDisplay() {
        for (const int fd : {fd_, client_})
            if (fd >= 0) ::close(fd);
    }
    std::string name() const { return ":" + std::to_string(number_); }
    // The process that connected first, or -1 when none did in time.
    pid_t awaitClient(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (fd_ < 0 || ::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return -1;
        client_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        ucred peer{};
        socklen_t size = sizeof peer;
        if (client_ < 0 || ::getsockopt(client_, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return -1;
        return peer.pid;
    }

private:
    int fd_ = -1;
    int client_ = -1;
    int number_ = 0;
};

class UpdateRecoveryIntegrationTest : public test::UpdatingAppTest {
protected:
    // Build 1 installed where the install script puts it updates to build 2, and the session
    // ends (installer and new copy killed) once the copies have changed places.
    void interruptUpdate() {
        ASSERT_EQ(makeBundle(executable, "1.1", 1, installed, false), 0);
        ASSERT_EQ(makeBundle(executable, "1.2", 2, next, false), 0);
        fs::create_directories(download);
        ASSERT_EQ(test::runTool(test::releaseTool, {"archive", next, download / "Velmo-2.zip"}), 0);

        SilentDisplay display;
        const pid_t installer = ::fork();
        if (installer == 0) {
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
            ::setenv("DISPLAY", display.name().c_str(), 1);
            try {
                const std::atomic<bool> cancel{false};
                UpdateInstaller::install(download / "Velmo-2.zip", installed, "1.2", 2, cancel, {60s, {}});
            } catch (...) {
            }
            ::_exit(0);
        }
        ASSERT_GT(installer, 0);
        const pid_t started = display.awaitClient(30s);
        ::kill(installer, SIGKILL);
        ::waitpid(installer, nullptr, 0);
        ASSERT_GT(started, 0) << "the new copy never reached its display";
        std::string output;
        // While the new copy still starts, a launch leaves its update alone.
        EXPECT_EQ(test::runTool(installed / "Contents/bin/Velmo", {"--version"}, &output), 0);
        EXPECT_EQ(output, "Velmo 1.2 (build 2)\n");
        ::kill(started, SIGKILL);
        ASSERT_EQ(SoftwareUpdates::readInfo(installed)["CFBundleVersion"], "2") << "the unconfirmed copy is in place";
        ASSERT_EQ(test::entryNames(installed.parent_path()).size(), 2u) << "the previous copy waits beside it";
    }

    const fs::path installed = temp / "home/.local/lib/velmo/Velmo.app";
    const fs::path next = temp / "next/Velmo.app";
    const fs::path download = temp / "tmp/Velmo-Update-0B5B2D8E-7F0C-4C55-9E83-1D2F5A3C6E11";
};

TEST_F(UpdateRecoveryIntegrationTest, AnUpdateCutOffBeforeTheNewCopyIsReadyIsUndoneAtTheNextLaunch) {
    ASSERT_NO_FATAL_FAILURE(interruptUpdate());
    std::string output;
    EXPECT_EQ(test::runTool(installed / "Contents/bin/Velmo", {"--version"}, &output), 0);
    EXPECT_EQ(output, "Velmo 1.1 (build 1)\n");
    EXPECT_EQ(SoftwareUpdates::readInfo(installed)["CFBundleVersion"], "1");
    EXPECT_EQ(test::entryNames(installed.parent_path()), std::vector<std::string>{"Velmo.app"}) << "no staging folder is left";
    EXPECT_FALSE(fs::exists(download)) << "no download is left";
}

// The user installs the update's own build by hand meanwhile: that copy is the one to keep.
TEST_F(UpdateRecoveryIntegrationTest, AnInstallByHandAfterAnInterruptedUpdateStays) {
    ASSERT_NO_FATAL_FAILURE(interruptUpdate());
    std::string output;
    ASSERT_EQ(test::runInSource({"./scripts/install-user", next.string()}, &output), 0) << output;
    EXPECT_EQ(test::entryNames(installed.parent_path()), std::vector<std::string>{"Velmo.app"}) << "no undo is left pending";
    EXPECT_EQ(test::runTool(installed / "Contents/bin/Velmo", {"--version"}, &output), 0);
    EXPECT_EQ(output, "Velmo 1.2 (build 2)\n");
}

// Keeps the message of every alert.
class RecordingPresenter : public UpdateAlertPresenter {
public:
    void show(const QString& message, const QString&, const std::optional<QString>&,
              std::function<void(bool)> answered) override {
        alerts.push_back(message.toStdString());
        answered(false);
    }
    std::vector<std::string> alerts;
};

// The copy the undo put back says so once; a copy it starts later (the next update's) inherits
// its environment and must not say it again.
TEST(UndoneUpdateAlertIntegrationTest, TheAlertAfterAnUndoneUpdateIsShownOnce) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    test::AppModelHarness model;
    ::setenv(UpdateRecovery::undoneVariable, "1", 1);  // as the undo starts the previous copy
    auto presenter = std::make_shared<RecordingPresenter>();
    {
        AppUpdates restored(*model, presenter, Settings::iniStore(model.temp / "restored.conf"));
        test::pumpFor(100ms);
    }
    EXPECT_EQ(presenter->alerts, std::vector<std::string>{"Velmo put the previous version back"});
    AppUpdates next(*model, presenter, Settings::iniStore(model.temp / "next.conf"));
    test::pumpFor(100ms);
    EXPECT_EQ(presenter->alerts.size(), 1u);
    ::unsetenv(UpdateRecovery::undoneVariable);
}

}  // namespace
}  // namespace velmo
