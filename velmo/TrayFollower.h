// With a tray, sharing goes on after the main window closes; without one the window is home. A
// tray may also come after Velmo (an autostart before the panel) or go while it runs, and Qt
// does not tell of either on every desktop: a cheap look every two seconds follows it.
#pragma once
#include <QTimer>
#include <functional>
#include <memory>

namespace velmo {

class AppModel;
class MainWindow;
class MenuBarWindow;
class SoftwareUpdates;

class TrayFollower {
public:
    TrayFollower(AppModel& model, MainWindow& window, SoftwareUpdates* updates, std::function<void()> quit);
    ~TrayFollower();
    // No more looks, and no tray.
    void stop();

private:
    void follow();

    AppModel& model_;
    MainWindow& window_;
    SoftwareUpdates* updates_;
    std::function<void()> quit_;
    QTimer watch_;
    std::unique_ptr<MenuBarWindow> tray_;
};

}  // namespace velmo
