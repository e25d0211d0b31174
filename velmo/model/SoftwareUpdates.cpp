#include "velmo/model/SoftwareUpdates.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSettings>
#include <QThreadPool>
#include <QTimer>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "updatecore/UpdateBundle.h"
#include "updatecore/UpdateInstallError.h"
#include "updatecore/UpdateInstaller.h"
#include "updatecore/UpdateText.h"

namespace velmo {
namespace {

const char* const channels[] = {"test-arm64", "test-x86_64", "live-arm64", "live-x86_64"};

}  // namespace

// The feed address lives in a section of its own, which the release tool reads from the
// executable it bundles: what it shows and compares is what this copy will fetch. Reading it
// back through the section's bounds keeps the linker from dropping it.
extern "C" {
[[gnu::used, gnu::section("velmo_update_feed")]] const char velmoUpdateFeed[] = VELMO_UPDATE_FEED;
extern const char __start_velmo_update_feed[];
extern const char __stop_velmo_update_feed[];
}

namespace {

// The feed this copy's Info.json describes, or nothing when its configuration is incomplete.
std::optional<UpdateFeed> feedFrom(const nlohmann::json& info, std::shared_ptr<HttpTransport> transport) {
    const auto keyText = SoftwareUpdates::infoText(info, "VelmoUpdatePublicKey");
    const auto key = keyText ? UpdateText::decodeBase64(*keyText) : std::nullopt;
    if (!key || key->size() != 32) return std::nullopt;
    const auto channel = SoftwareUpdates::infoText(info, "VelmoUpdateChannel");
    if (!channel || std::find(std::begin(channels), std::end(channels), *channel) == std::end(channels))
        return std::nullopt;
    const auto buildText = SoftwareUpdates::infoText(info, "CFBundleVersion");
    const auto build = buildText ? UpdateText::parseDecimal(*buildText) : std::nullopt;
    if (!build || *build < 1) return std::nullopt;
    return UpdateFeed(*key, SoftwareUpdates::feedAddress(*channel), *channel, *build, std::move(transport));
}

// A real boolean, or exactly "true" / "false".
std::optional<bool> strictBool(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    if (value.typeId() == QMetaType::QString) {
        if (value.toString() == "true") return true;
        if (value.toString() == "false") return false;
    }
    return std::nullopt;
}

}  // namespace

SoftwareUpdates::Clock::time_point SoftwareUpdates::Clock::now() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
}

std::optional<UpdateRelease> UpdateActions::check(const UpdateFeed& feed, const std::atomic<bool>& cancel) {
    return feed.check(cancel);
}

std::filesystem::path UpdateActions::download(const UpdateFeed& feed, const UpdateRelease& release,
                                              const std::atomic<bool>& cancel) {
    return feed.download(release, cancel);
}

void UpdateActions::install(const std::filesystem::path& archive, const std::filesystem::path& target,
                            const std::string& version, std::int64_t build, const std::atomic<bool>& cancel) {
    UpdateInstaller::install(archive, target, version, build, cancel);
}

bool UpdateActions::quit() {
    if (!QCoreApplication::instance()) return false;
    QCoreApplication::quit();
    return true;
}

SoftwareUpdates::SoftwareUpdates(Dependencies dependencies, QObject* parent)
    : QObject(parent), deps_(std::move(dependencies)) {
    if (!deps_.actions) deps_.actions = std::make_shared<UpdateActions>();
    if (!deps_.presenter) deps_.presenter = std::make_shared<SilentUpdatePresenter>();
    if (!deps_.now) deps_.now = [] { return Clock::now(); };
    if (deps_.settings) automatic_ = strictBool(deps_.settings->value(automaticKey)).value_or(true);
    if (!deps_.info.is_object()) deps_.info = nlohmann::json::object();
    installedVersion_ = QString::fromStdString(infoText(deps_.info, "CFBundleShortVersionString").value_or(""));
    feed_ = feedFrom(deps_.info, deps_.transport);
    // Told once the event loop runs, over the window: the user chose to update and now has the
    // version from before.
    if (deps_.updateUndone) QTimer::singleShot(0, this, &SoftwareUpdates::showUndoneAlert);
}

SoftwareUpdates::~SoftwareUpdates() { cancel_->store(true); }

std::optional<std::filesystem::path> SoftwareUpdates::runningBundle() { return UpdateBundle::runningBundle(); }

nlohmann::json SoftwareUpdates::readInfo(const std::filesystem::path& bundle) {
    std::ifstream in(bundle / "Contents/Info.json", std::ios::binary);
    if (!in) return nlohmann::json::object();
    auto info = nlohmann::json::parse(in, nullptr, false);
    return info.is_object() ? info : nlohmann::json::object();
}

std::optional<std::string> SoftwareUpdates::infoText(const nlohmann::json& info, const char* key) {
    const auto found = info.find(key);
    if (found == info.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::string SoftwareUpdates::feedAddress(const std::string& channel) {
    const std::string address(__start_velmo_update_feed,
                              std::find(__start_velmo_update_feed, __stop_velmo_update_feed, '\0'));
    return address + "/" + channel + "/feed.json";
}

QString SoftwareUpdates::checkMenuTitle() const {
    return busy_ ? QStringLiteral("Checking for Updates\u2026") : QStringLiteral("Check for Updates\u2026");
}

void SoftwareUpdates::setAutomatic(bool on) {
    if (deps_.settings) deps_.settings->setValue(automaticKey, on);
    if (automatic_ == on) return;
    automatic_ = on;
    emit automaticChanged();
}

bool SoftwareUpdates::isDue(Clock::time_point since) const { return deps_.now() - since >= checkInterval; }

void SoftwareUpdates::setBusy(bool busy) {
    if (busy_ == busy) return;
    busy_ = busy;
    emit busyChanged();
}

void SoftwareUpdates::setReplacing(bool replacing) {
    if (replacing_ == replacing) return;
    replacing_ = replacing;
    emit replacingChanged();
}

void SoftwareUpdates::setAvailable(std::optional<UpdateRelease> release) {
    if (available_ == release) return;
    available_ = std::move(release);
    emit availableChanged();
}

void SoftwareUpdates::offThread(std::function<void()> work, std::function<void(std::exception_ptr)> then) {
    QPointer<SoftwareUpdates> self(this);
    QThreadPool::globalInstance()->start([self, work = std::move(work), then = std::move(then)]() mutable {
        std::exception_ptr error;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, then = std::move(then), error] {
                if (self) then(error);
            },
            Qt::QueuedConnection);
    });
}

void SoftwareUpdates::checkIfDue() {
    if (!automatic_ || !feed_ || busy_) return;
    if (lastCheck_ && !isDue(*lastCheck_)) return;
    lastCheck_ = deps_.now();
    setBusy(true);
    auto result = std::make_shared<std::optional<UpdateRelease>>();
    offThread([actions = deps_.actions, feed = *feed_, cancel = cancel_,
               result] { *result = actions->check(feed, *cancel); },
              [this, result](std::exception_ptr error) {
                  // The automatic check stays silent; a failure keeps what was found before.
                  if (!error) setAvailable(*result);
                  setBusy(false);
              });
}

void SoftwareUpdates::checkNow() {
    if (!feed_ || busy_ || !deps_.hasSharingMode || !deps_.hasSharingMode()) return;
    lastCheck_ = deps_.now();
    setBusy(true);
    runManualCheck();
}

void SoftwareUpdates::runManualCheck() {
    auto result = std::make_shared<std::optional<UpdateRelease>>();
    offThread([actions = deps_.actions, feed = *feed_, cancel = cancel_,
               result] { *result = actions->check(feed, *cancel); },
              [this, result](std::exception_ptr error) {
                  if (error) return showError(error);
                  setAvailable(*result);
                  offerRelease();
              });
}

void SoftwareUpdates::offerRelease() {
    // The check stays busy until its alert is answered.
    if (!available_) {
        tell(QStringLiteral("Velmo is up to date"), QStringLiteral("You\u2019re running Velmo ") + installedVersion_ + ".",
             std::nullopt, [this](bool) { finish(); });
        return;
    }
    if (!deps_.isReadyForUpdate || !deps_.isReadyForUpdate()) return showBlockedAlert();
    const UpdateRelease release = *available_;
    tell(QStringLiteral("Velmo ") + QString::fromStdString(release.version) + QStringLiteral(" is available"),
         QStringLiteral("Velmo will verify the update, install it and reopen. Your settings stay on this computer."),
         QStringLiteral("Install and Relaunch"), [this, release](bool install) {
             if (install) downloadRelease(release);
             else finish();
         });
}

void SoftwareUpdates::downloadRelease(const UpdateRelease& release) {
    auto archive = std::make_shared<std::filesystem::path>();
    offThread([actions = deps_.actions, feed = *feed_, release, cancel = cancel_,
               archive] { *archive = actions->download(feed, release, *cancel); },
              [this, archive, release](std::exception_ptr error) {
                  if (error) return showError(error);
                  if (!deps_.isReadyForUpdate || !deps_.isReadyForUpdate()) {
                      removeDownload(*archive);
                      return showBlockedAlert();
                  }
                  setReplacing(true);
                  offThread([actions = deps_.actions, archive = *archive, target = deps_.bundle, release,
                             cancel = cancel_] { actions->install(archive, target, release.version, release.build, *cancel); },
                            [this, archive](std::exception_ptr installError) {
                                if (installError) {
                                    setReplacing(false);
                                    removeDownload(*archive);
                                    return showError(installError);
                                }
                                // The new copy already runs; its archive is no longer needed.
                                removeDownload(*archive);
                                if (!deps_.actions->quit()) setReplacing(false);
                                finish();
                            });
              });
}

void SoftwareUpdates::finish() { setBusy(false); }

void SoftwareUpdates::tell(const QString& message, const QString& informative,
                           const std::optional<QString>& firstButton, std::function<void(bool)> then) {
    deps_.presenter->show(message, informative, firstButton, [self = QPointer<SoftwareUpdates>(this), then](bool answer) {
        if (self) then(answer);
    });
}

void SoftwareUpdates::showError(const std::exception_ptr& error) {
    QString sentence = QString::fromUtf8(UpdateError(UpdateError::Kind::unavailable).what());
    try {
        std::rethrow_exception(error);
    } catch (const UpdateError& e) {
        sentence = QString::fromUtf8(e.what());
    } catch (const UpdateInstallError& e) {
        sentence = QString::fromUtf8(e.what());
    } catch (const Cancelled&) {
        sentence = QString::fromUtf8(UpdateError(UpdateError::Kind::cancelled).what());
    } catch (const std::system_error& e) {
        // A local file error (listing the staging folder) says what went wrong with which file.
        sentence = QString::fromUtf8(e.what());
    } catch (const std::exception&) {
        // Anything unexpected reads as an unreachable server rather than a raw message.
    }
    tell(QStringLiteral("Velmo couldn\u2019t update"), sentence, std::nullopt, [this](bool) { finish(); });
}

void SoftwareUpdates::showBlockedAlert() {
    tell(QStringLiteral("Velmo has an update"),
         QStringLiteral("Finish any transfers, close sharing sessions, and send or clear the selected files, then "
                        "check for updates again."),
         std::nullopt, [this](bool) { finish(); });
}

void SoftwareUpdates::showUndoneAlert() {
    const QString version = installedVersion_.isEmpty() ? QString() : " (" + installedVersion_ + ")";
    tell(QStringLiteral("Velmo put the previous version back"),
         QStringLiteral("The last update was interrupted before the new version finished starting, so Velmo went "
                        "back to the version you had") +
             version + QStringLiteral(". Check for updates to try again."),
         std::nullopt, [](bool) {});
}

void SoftwareUpdates::removeDownload(const std::filesystem::path& archive) {
    // Only ever a staging folder that the feed client made.
    if (archive.empty() || archive.parent_path().filename().string().rfind("Velmo-Update-", 0) != 0) return;
    std::error_code ignored;
    std::filesystem::remove_all(archive.parent_path(), ignored);
}

}  // namespace velmo
