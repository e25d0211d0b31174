#include "velmo/TrayFollower.h"

#include <QApplication>
#include <QDialog>  // held by MainWindow
#include <QSystemTrayIcon>

#include "velmo/ui/MainWindow.h"
#include "velmo/ui/MenuBarWindow.h"

namespace velmo {

TrayFollower::TrayFollower(AppModel& model, MainWindow& window, SoftwareUpdates* updates, std::function<void()> quit)
    : model_(model), window_(window), updates_(updates), quit_(std::move(quit)) {
    QApplication::setQuitOnLastWindowClosed(true);
    follow();
    watch_.callOnTimeout([this] { follow(); });
    watch_.start(std::chrono::seconds(2));
}

TrayFollower::~TrayFollower() = default;

void TrayFollower::stop() {
    watch_.stop();
    tray_.reset();
}

void TrayFollower::follow() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available == (tray_ != nullptr)) return;
    QApplication::setQuitOnLastWindowClosed(!available);
    if (available) {
        tray_ = std::make_unique<MenuBarWindow>(model_, [this] { window_.bringForward(); }, quit_, updates_);
    } else {
        tray_.reset();
        if (!window_.isVisible()) window_.show();  // else Velmo would run on out of reach
    }
}

}  // namespace velmo
