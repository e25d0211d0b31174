#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "support/TempFolder.h"
#include "updatecore/UpdateInstallError.h"
#include "updatecore/UpdateText.h"
#include "velmo/model/SoftwareUpdates.h"
#include "velmo/ui/MessageBoxUpdatePresenter.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;

struct Alert {
    QString message, informative;
    std::optional<QString> firstButton;
};

class FakePresenter : public UpdateAlertPresenter {
public:
    std::vector<Alert> alerts;
    bool answer = true;
    bool holdAnswers = false;  // kept in `open` for the test to give
    std::vector<std::function<void(bool)>> open;
    std::function<void()> afterPresent = [] {};
    void show(const QString& m, const QString& i, const std::optional<QString>& b,
              std::function<void(bool)> answered) override {
        alerts.push_back({m, i, b});
        afterPresent();
        if (holdAnswers) open.push_back(std::move(answered));
        else answered(answer);
    }
};

class FakeActions : public UpdateActions {
public:
    std::mutex lock;
    std::condition_variable released;
    bool holdChecks = false;
    int checks = 0, downloads = 0, installs = 0, quits = 0;
    std::function<std::optional<UpdateRelease>()> onCheck = [] { return std::nullopt; };
    std::function<void()> onInstall = [] {};
    std::filesystem::path archive;
    std::filesystem::path installedTarget;
    std::string installedVersion;
    std::int64_t installedBuild = 0;

    std::optional<UpdateRelease> check(const UpdateFeed&, const std::atomic<bool>&) override {
        std::unique_lock guard(lock);
        ++checks;
        released.wait(guard, [&] { return !holdChecks; });
        return onCheck();
    }
    std::filesystem::path download(const UpdateFeed&, const UpdateRelease&, const std::atomic<bool>&) override {
        std::lock_guard guard(lock);
        ++downloads;
        std::filesystem::create_directories(archive.parent_path());
        std::ofstream(archive) << "zip";
        return archive;
    }
    void install(const std::filesystem::path&, const std::filesystem::path& target, const std::string& version,
                 std::int64_t build, const std::atomic<bool>&) override {
        {
            std::lock_guard guard(lock);
            ++installs;
            installedTarget = target;
            installedVersion = version;
            installedBuild = build;
        }
        onInstall();
    }
    bool quit() override {
        ++quits;
        return true;
    }
    void release() {
        {
            std::lock_guard guard(lock);
            holdChecks = false;
        }
        released.notify_all();
    }
};

UpdateRelease newRelease() {
    UpdateRelease r;
    r.version = "2.0";
    r.build = 9;
    r.channel = "live-x86_64";
    r.archive = "Velmo-9.zip";
    return r;
}

class SoftwareUpdatesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "ui";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QApplication(argc, argv);
    }

    test::TempFolder temp;
    std::unique_ptr<QSettings> settings = std::make_unique<QSettings>(
        QString::fromStdString((temp / "Velmo.conf").string()), QSettings::IniFormat);
    std::shared_ptr<FakePresenter> presenter = std::make_shared<FakePresenter>();
    std::shared_ptr<FakeActions> actions = std::make_shared<FakeActions>();
    SoftwareUpdates::Clock::time_point clock = SoftwareUpdates::Clock::time_point(1000h);
    bool ready = true;
    bool modeChosen = true;
    bool undone = false;

    nlohmann::json info() {
        return {{"CFBundleShortVersionString", "1.0"},
                {"CFBundleVersion", "8"},
                {"VelmoUpdateChannel", "live-x86_64"},
                {"VelmoUpdatePublicKey", UpdateText::encodeBase64(Bytes(32, 7))}};
    }

    std::unique_ptr<SoftwareUpdates> make(nlohmann::json bundleInfo) {
        return std::make_unique<SoftwareUpdates>(dependencies(std::move(bundleInfo)));
    }
    SoftwareUpdates::Dependencies dependencies(nlohmann::json bundleInfo) {
        actions->archive = temp / "Velmo-Update-X" / "Velmo-9.zip";
        SoftwareUpdates::Dependencies d;
        d.settings = settings.get();
        d.info = std::move(bundleInfo);
        d.bundle = temp / "apps" / "Velmo.app";
        d.isReadyForUpdate = [this] { return ready; };
        d.hasSharingMode = [this] { return modeChosen; };
        d.presenter = presenter;
        d.actions = actions;
        d.now = [this] { return clock; };
        d.updateUndone = undone;
        return d;
    }
    std::unique_ptr<SoftwareUpdates> make() { return make(info()); }

    static void settle(const SoftwareUpdates& u) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (u.isBusy() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
        QCoreApplication::processEvents();
        ASSERT_FALSE(u.isBusy());
    }
    static bool waitFor(const std::function<bool()>& done) {
        for (int wait = 0; wait < 5000 && !done(); ++wait) {
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
        return done();
    }
};

TEST_F(SoftwareUpdatesTest, ConfigurationFromTheBundle) {
    auto u = make();
    ASSERT_TRUE(u->isConfigured());
    EXPECT_EQ(u->feed()->feedURL(), SoftwareUpdates::feedAddress("live-x86_64"));
    EXPECT_TRUE(u->feed()->feedURL().starts_with("https://"));
    EXPECT_TRUE(u->feed()->feedURL().ends_with("/live-x86_64/feed.json"));
    EXPECT_EQ(u->feed()->currentBuild(), 8);
    auto withBuild = info();
    withBuild["CFBundleVersion"] = "+7";
    EXPECT_EQ(make(withBuild)->feed()->currentBuild(), 7);

    const std::pair<const char*, nlohmann::json> broken[] = {
        {"CFBundleVersion", "0"},          {"CFBundleVersion", "-3"},        {"CFBundleVersion", "12a"},
        {"CFBundleVersion", ""},           {"CFBundleVersion", 8},           {"VelmoUpdateChannel", "live-x86_64 "},
        {"VelmoUpdateChannel", "Live-x86_64"}, {"VelmoUpdatePublicKey", "AAAA"}, {"VelmoUpdatePublicKey", nullptr},
    };
    for (const auto& [key, value] : broken) {
        auto changed = info();
        if (value.is_null()) changed.erase(key);
        else changed[key] = value;
        auto updates = make(changed);
        EXPECT_FALSE(updates->isConfigured()) << key << " " << value.dump();
        updates->checkIfDue();
        updates->checkNow();
        EXPECT_FALSE(updates->isBusy());
    }
    EXPECT_FALSE(make(nlohmann::json::array())->isConfigured());
    EXPECT_EQ(actions->checks, 0);
}

// The user chose to update and, after a launch that undid it, has the version from before.
TEST_F(SoftwareUpdatesTest, AnUpdateUndoneAtStartIsToldOnce) {
    undone = true;
    auto u = make();
    EXPECT_TRUE(presenter->alerts.empty()) << "told over the window, once the event loop runs";
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    ASSERT_EQ(presenter->alerts.size(), 1u);
    EXPECT_EQ(presenter->alerts[0].message, "Velmo put the previous version back");
    EXPECT_EQ(presenter->alerts[0].informative,
              "The last update was interrupted before the new version finished starting, so Velmo went back to the "
              "version you had (1.0). Check for updates to try again.");
    EXPECT_FALSE(presenter->alerts[0].firstButton);
    undone = false;
    make();
    QCoreApplication::processEvents();
    EXPECT_EQ(presenter->alerts.size(), 1u);
}

TEST_F(SoftwareUpdatesTest, AutomaticSwitchIsReadStrictlyAndAlwaysWritten) {
    EXPECT_TRUE(make()->automatic());
    settings->setValue("automaticallyCheckForUpdates", "false");
    EXPECT_FALSE(make()->automatic());
    settings->setValue("automaticallyCheckForUpdates", "0");
    EXPECT_TRUE(make()->automatic());
    settings->remove("automaticallyCheckForUpdates");
    auto u = make();
    u->setAutomatic(true);
    EXPECT_EQ(settings->value("automaticallyCheckForUpdates").toString(), "true");
}

TEST_F(SoftwareUpdatesTest, DailyCheckRunsOncePerInterval) {
    auto u = make();
    actions->onCheck = [] { return newRelease(); };
    u->checkIfDue();
    EXPECT_EQ(u->checkMenuTitle(), QString("Checking for Updates\u2026"));
    settle(*u);
    EXPECT_EQ(actions->checks, 1);
    EXPECT_EQ(u->available(), newRelease());
    EXPECT_EQ(u->checkMenuTitle(), QString("Check for Updates\u2026"));

    clock += 86'399s;
    u->checkIfDue();
    settle(*u);
    EXPECT_EQ(actions->checks, 1);

    // Exactly a day later it runs, and finding nothing clears the earlier release.
    clock += 1s;
    actions->onCheck = [] { return std::nullopt; };
    u->checkIfDue();
    settle(*u);
    EXPECT_EQ(actions->checks, 2);
    EXPECT_FALSE(u->available());
    EXPECT_TRUE(presenter->alerts.empty());
}

TEST_F(SoftwareUpdatesTest, AutomaticFailureIsSilentAndKeepsTheRelease) {
    auto u = make();
    actions->onCheck = [] { return newRelease(); };
    u->checkIfDue();
    settle(*u);
    clock += 86'400s;
    actions->onCheck = []() -> std::optional<UpdateRelease> { throw UpdateError(UpdateError::Kind::unavailable); };
    u->checkIfDue();
    settle(*u);
    EXPECT_EQ(u->available(), newRelease());
    EXPECT_TRUE(presenter->alerts.empty());
}

TEST_F(SoftwareUpdatesTest, SwitchedOffNeverChecksAutomaticallyButManualWorks) {
    auto u = make();
    u->setAutomatic(false);
    u->checkIfDue();
    EXPECT_FALSE(u->isBusy());
    u->checkNow();
    settle(*u);
    EXPECT_EQ(actions->checks, 1);
    ASSERT_EQ(presenter->alerts.size(), 1u);
    EXPECT_EQ(presenter->alerts[0].message, "Velmo is up to date");
    EXPECT_EQ(presenter->alerts[0].informative, QString("You\u2019re running Velmo 1.0."));
    EXPECT_FALSE(presenter->alerts[0].firstButton);
}

TEST_F(SoftwareUpdatesTest, ManualCheckSetsLastCheckForTheDailyOne) {
    auto u = make();
    u->checkNow();
    settle(*u);
    clock += 3600s;
    u->checkIfDue();
    EXPECT_FALSE(u->isBusy());
    EXPECT_EQ(actions->checks, 1);
}

TEST_F(SoftwareUpdatesTest, ManualCheckBeforeASharingModeDoesNothing) {
    modeChosen = false;
    auto u = make();
    u->checkNow();
    EXPECT_FALSE(u->isBusy());
    EXPECT_EQ(actions->checks, 0);
    EXPECT_TRUE(presenter->alerts.empty());
}

TEST_F(SoftwareUpdatesTest, SecondCheckWhileOneRunsIsDropped) {
    auto u = make();
    actions->holdChecks = true;
    u->checkIfDue();
    u->checkNow();
    u->checkIfDue();
    actions->release();
    settle(*u);
    EXPECT_EQ(actions->checks, 1);
    EXPECT_TRUE(presenter->alerts.empty());
}

TEST_F(SoftwareUpdatesTest, BusyUserGetsTheBlockedAlert) {
    ready = false;
    actions->onCheck = [] { return newRelease(); };
    auto u = make();
    u->checkNow();
    settle(*u);
    ASSERT_EQ(presenter->alerts.size(), 1u);
    EXPECT_EQ(presenter->alerts[0].message, "Velmo has an update");
    EXPECT_EQ(actions->downloads, 0);
}

TEST_F(SoftwareUpdatesTest, LaterKeepsTheReleaseOnOffer) {
    actions->onCheck = [] { return newRelease(); };
    presenter->answer = false;
    auto u = make();
    u->checkNow();
    settle(*u);
    ASSERT_EQ(presenter->alerts.size(), 1u);
    EXPECT_EQ(presenter->alerts[0].message, "Velmo 2.0 is available");
    EXPECT_EQ(presenter->alerts[0].firstButton, QString("Install and Relaunch"));
    EXPECT_EQ(u->available(), newRelease());
    EXPECT_EQ(actions->downloads, 0);
}

TEST_F(SoftwareUpdatesTest, AcceptedReleaseIsDownloadedInstalledAndTheAppQuits) {
    actions->onCheck = [] { return newRelease(); };
    auto u = make();
    bool replacingSeen = false;
    actions->onInstall = [&] { replacingSeen = u->isReplacing(); };
    u->checkNow();
    settle(*u);
    EXPECT_EQ(actions->installs, 1);
    EXPECT_TRUE(replacingSeen);
    EXPECT_EQ(actions->installedTarget, temp / "apps" / "Velmo.app");
    EXPECT_EQ(actions->installedVersion, "2.0");
    EXPECT_EQ(actions->installedBuild, 9);
    EXPECT_EQ(actions->quits, 1);
    EXPECT_EQ(presenter->alerts.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(actions->archive.parent_path()));
}

TEST_F(SoftwareUpdatesTest, UserBusyAfterTheDownloadRemovesIt) {
    actions->onCheck = [] { return newRelease(); };
    auto u = make();
    // Ready when the offer is made, busy again once the download is in.
    presenter->afterPresent = [this] { ready = false; };
    u->checkNow();
    settle(*u);
    EXPECT_EQ(actions->downloads, 1);
    EXPECT_EQ(actions->installs, 0);
    ASSERT_EQ(presenter->alerts.size(), 2u);
    EXPECT_EQ(presenter->alerts[1].message, "Velmo has an update");
    EXPECT_FALSE(std::filesystem::exists(actions->archive.parent_path()));
    EXPECT_FALSE(u->isReplacing());
}

TEST_F(SoftwareUpdatesTest, FailuresShowTheirSentence) {
    auto u = make();
    actions->onCheck = []() -> std::optional<UpdateRelease> { throw UpdateError(UpdateError::Kind::invalidSignature); };
    // The check stays busy until its failure's alert is answered: no second check or alert meanwhile.
    presenter->holdAnswers = true;
    u->checkNow();
    ASSERT_TRUE(waitFor([&] { return presenter->open.size() == 1; }));
    EXPECT_TRUE(u->isBusy());
    u->checkNow();
    presenter->open[0](false);
    presenter->holdAnswers = false;
    settle(*u);
    EXPECT_EQ(actions->checks, 1);
    ASSERT_EQ(presenter->alerts.size(), 1u);
    EXPECT_EQ(presenter->alerts[0].message, QString("Velmo couldn\u2019t update"));
    EXPECT_EQ(presenter->alerts[0].informative, "The update could not be authenticated.");

    presenter->alerts.clear();
    actions->onCheck = [] { return newRelease(); };
    actions->onInstall = [] { throw UpdateInstallError(UpdateInstallError::Kind::relaunchFailed); };
    u->checkNow();
    settle(*u);
    ASSERT_EQ(presenter->alerts.size(), 2u);
    EXPECT_EQ(presenter->alerts[1].informative.toStdString(),
              UpdateInstallError(UpdateInstallError::Kind::relaunchFailed).what());
    EXPECT_FALSE(u->isReplacing());
    EXPECT_EQ(actions->quits, 0);
    EXPECT_FALSE(std::filesystem::exists(actions->archive.parent_path()));

    // A local file error keeps its own text rather than reading as an unreachable server.
    const std::filesystem::filesystem_error listing("directory iterator cannot open directory", temp / "staging",
                                                    std::make_error_code(std::errc::permission_denied));
    actions->onInstall = [&] { throw listing; };
    u->checkNow();
    settle(*u);
    ASSERT_EQ(presenter->alerts.size(), 4u);
    EXPECT_EQ(presenter->alerts[3].informative.toStdString(), listing.what());
}

// An alert answered once the controller is gone (Velmo quitting) reaches nothing of it.
TEST_F(SoftwareUpdatesTest, AnAnswerAfterTheControllerIsGoneReachesNothing) {
    presenter->holdAnswers = true;
    actions->onCheck = [] { return newRelease(); };
    auto u = make();
    u->checkNow();
    ASSERT_TRUE(waitFor([&] { return presenter->open.size() == 1; }));
    const QPointer<SoftwareUpdates> watched(u.get());
    u.reset();
    ASSERT_FALSE(watched);
    presenter->open[0](true);
    QCoreApplication::processEvents();
    EXPECT_EQ(actions->downloads, 0);
}

TEST_F(SoftwareUpdatesTest, AlertShowsItsInformativeTextAsPlainText) {
    const QString informative = QStringLiteral("Your previous app is saved at <b>/home/a/<a href=x>x</a></b>.");
    bool shownAsItStands = false;
    QTimer::singleShot(0, [&] {
        QMessageBox* box = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* shown = qobject_cast<QMessageBox*>(window); shown && shown->isVisible()) box = shown;
        if (!box) return;
        for (const auto* label : box->findChildren<QLabel*>())
            if (label->text() == informative && label->textFormat() == Qt::PlainText) shownAsItStands = true;
        box->defaultButton()->click();
    });
    bool answered = false;
    MessageBoxUpdatePresenter().show(QStringLiteral("Velmo couldn\u2019t update"), informative, std::nullopt,
                                     [&](bool) { answered = true; });
    EXPECT_TRUE(waitFor([&] { return answered; }));
    EXPECT_TRUE(shownAsItStands);
}

}  // namespace
}  // namespace velmo
