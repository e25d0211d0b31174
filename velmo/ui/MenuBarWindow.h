// The tray's remote control: start a QR send (also by dropping files on its send button),
// start a web receive, send to discovered phones, watch the transfer under way, open the main
// window and quit. Until a sharing mode is chosen it only offers to open the main window.
#pragma once

#include <QList>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <memory>

class QVBoxLayout;

namespace velmo {

class AppModel;
class SoftwareUpdates;
class TransferRow;

class MenuBarView : public QWidget {
    Q_OBJECT
public:
    MenuBarView(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit,
                QWidget* parent = nullptr, SoftwareUpdates* updates = nullptr);

protected:
    bool focusNextPrevChild(bool next) override;

private:
    void refreshPhones();
    void refreshTransfer();
    void watchSessions();
    AppModel& model_;
    std::function<void()> openMainWindow_;
    std::function<void()> quit_;
    QVBoxLayout* phones_;
    QVBoxLayout* transfer_;
    QList<QPointer<TransferRow>> transferRow_;
    QPointer<SoftwareUpdates> updates_;
    bool sessionActive_;
};

// Shown in the tray window while no sharing mode is chosen.
class LockedMenu : public QWidget {
    Q_OBJECT
public:
    LockedMenu(std::function<void()> openMainWindow, std::function<void()> quit, QWidget* parent = nullptr);
};

// The tray icon and its popup window (shows MenuBarView or LockedMenu by the sharing mode).
class MenuBarWindow : public QObject {
    Q_OBJECT
public:
    MenuBarWindow(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit,
                  SoftwareUpdates* updates = nullptr, QObject* parent = nullptr);
    ~MenuBarWindow() override;
    QWidget* popup() const { return popup_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    void showPopup(const QPoint& near);

private:
    void refreshContent();
    AppModel& model_;
    std::function<void()> openMainWindow_;
    std::function<void()> quit_;
    QPointer<SoftwareUpdates> updates_;
    std::unique_ptr<QWidget> popup_;
    QVBoxLayout* layout_;
    QPointer<QWidget> content_;
    bool unlocked_ = false;
    QSystemTrayIcon* tray_;
};

}  // namespace velmo
