// The application's side of self-updating: the silent daily check, the manual check with its
// alerts, and the download and replacement of the application folder once the user agrees.
// Lives on the GUI thread; network and file work runs on the thread pool.
#pragma once
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "updatecore/UpdateFeed.h"

class QSettings;

namespace velmo {

// Alerts, none of which blocks the rest of the application.
class UpdateAlertPresenter {
public:
    virtual ~UpdateAlertPresenter() = default;
    // Shows the alert and returns; `answered` runs once it is answered, with true when the first
    // button was chosen. Buttons: `firstButton` and "Later" when given, otherwise just "OK".
    virtual void show(const QString& message, const QString& informative, const std::optional<QString>& firstButton,
                      std::function<void(bool)> answered) = 0;
};

// Shows nothing and declines; the application hands in the message-box presenter.
class SilentUpdatePresenter : public UpdateAlertPresenter {
public:
    void show(const QString&, const QString&, const std::optional<QString>&,
              std::function<void(bool)> answered) override {
        answered(false);
    }
};

// The feed client, the installer and quitting; tests put fakes in their place.
class UpdateActions {
public:
    virtual ~UpdateActions() = default;
    virtual std::optional<UpdateRelease> check(const UpdateFeed& feed, const std::atomic<bool>& cancel);
    virtual std::filesystem::path download(const UpdateFeed& feed, const UpdateRelease& release,
                                           const std::atomic<bool>& cancel);
    virtual void install(const std::filesystem::path& archive, const std::filesystem::path& target,
                         const std::string& version, std::int64_t build, const std::atomic<bool>& cancel);
    // Asks the application to quit; false when it will keep running.
    virtual bool quit();
};

class SoftwareUpdates : public QObject {
    Q_OBJECT
public:
    // Elapsed time that keeps counting while the computer sleeps (CLOCK_BOOTTIME): the daily
    // check waits a real day, not a day of the computer being awake.
    struct Clock {
        using duration = std::chrono::nanoseconds;
        using rep = duration::rep;
        using period = duration::period;
        using time_point = std::chrono::time_point<Clock>;
        static constexpr bool is_steady = true;
        static time_point now() noexcept;
    };
    static constexpr std::chrono::seconds checkInterval{86'400};
    static constexpr const char* automaticKey = "automaticallyCheckForUpdates";

    struct Dependencies {
        QSettings* settings = nullptr;                 // holds automaticallyCheckForUpdates
        nlohmann::json info = nlohmann::json::object(); // the installed Contents/Info.json
        std::filesystem::path bundle;                  // the installed Velmo.app folder
        std::function<bool()> isReadyForUpdate;        // no work under way that an update would cut off
        std::function<bool()> hasSharingMode;          // the user has chosen how the computer shares
        std::shared_ptr<UpdateAlertPresenter> presenter;
        std::shared_ptr<UpdateActions> actions;        // the real feed and installer when empty
        std::shared_ptr<HttpTransport> transport;      // the feed's client; libcurl when empty
        std::function<Clock::time_point()> now;        // Clock::now when empty
        bool updateUndone = false;                     // an interrupted update was undone as this copy started
    };

    explicit SoftwareUpdates(Dependencies dependencies, QObject* parent = nullptr);
    ~SoftwareUpdates() override;

    // The running copy's Velmo.app folder (three levels above Contents/bin/Velmo), if it is one.
    static std::optional<std::filesystem::path> runningBundle();
    // Its Info.json, or an empty object when missing or unreadable.
    static nlohmann::json readInfo(const std::filesystem::path& bundle);
    // A text value of an Info.json, or nothing when missing or not text.
    static std::optional<std::string> infoText(const nlohmann::json& info, const char* key);
    // The channel's feed under the address the build was configured with (VELMO_UPDATE_FEED).
    static std::string feedAddress(const std::string& channel);

    bool isConfigured() const { return feed_.has_value(); }
    QString checkMenuTitle() const;
    bool isBusy() const { return busy_; }
    bool isReplacing() const { return replacing_; }
    const std::optional<UpdateRelease>& available() const { return available_; }
    bool automatic() const { return automatic_; }
    void setAutomatic(bool on);  // always written to the settings, even when unchanged
    const std::optional<UpdateFeed>& feed() const { return feed_; }

    void checkIfDue();
    void checkNow();
    bool isDue(Clock::time_point since) const;

signals:
    void busyChanged();
    void replacingChanged();
    void availableChanged();
    void automaticChanged();

private:
    void setBusy(bool busy);
    void setReplacing(bool replacing);
    void setAvailable(std::optional<UpdateRelease> release);
    void runManualCheck();
    void offerRelease();
    void downloadRelease(const UpdateRelease& release);
    void downloaded(const std::filesystem::path& archive);
    void finish();
    // Shows an alert; `then` runs with the answer while this controller lives.
    void tell(const QString& message, const QString& informative, const std::optional<QString>& firstButton,
              std::function<void(bool)> then);
    void showError(const std::exception_ptr& error);
    void showBlockedAlert();
    void showUndoneAlert();
    static void removeDownload(const std::filesystem::path& archive);
    // Runs `work` on the thread pool, then `then` on the GUI thread while this object lives.
    void offThread(std::function<void()> work, std::function<void(std::exception_ptr)> then);

    Dependencies deps_;
    std::optional<UpdateFeed> feed_;
    QString installedVersion_;
    std::optional<Clock::time_point> lastCheck_;
    std::optional<UpdateRelease> available_;
    bool busy_ = false;
    bool replacing_ = false;
    bool automatic_ = true;
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace velmo
