// The main window: the sharing-mode choice until a mode is chosen, then the column with
// everything the application does, and the sheets of an open QR send or web receive.
#pragma once

#include <QPointer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <optional>

class QVBoxLayout;
class QDialog;

namespace velmo {

class AppModel;
class SoftwareUpdates;
class ThemedButton;
class TransferList;

class ContentView : public QWidget {
    Q_OBJECT
public:
    // `updates` may be absent (no update controller): no update notice then.
    ContentView(AppModel& model, QWidget* parent = nullptr,
                std::chrono::milliseconds hintDelay = std::chrono::seconds(45), SoftwareUpdates* updates = nullptr);
    ~ContentView() override;
    QDialog* qrSendSheet() const { return qrSheet_; }
    QDialog* webReceiveSheet() const { return webSheet_; }

private:
    void refreshUpdateNotice();
    void refreshSendButton();
    void refreshStatus();
    void refreshPhones();
    void refreshTransfers();
    void followQRSend();
    void followWebReceive();
    // Shows the session's sheet while it is open and closes it when the model ends the session;
    // a sheet the user closes ends the session with `end`.
    void followSession(bool open, QPointer<QDialog>& slot, const std::function<QDialog*()>& make,
                       const std::function<void()>& end);

    AppModel& model_;
    std::chrono::milliseconds hintDelay_;
    QPointer<SoftwareUpdates> updates_;
    QVBoxLayout* updateNotice_;
    ThemedButton* sendButton_;
    QVBoxLayout* status_;
    QVBoxLayout* phones_;
    QVBoxLayout* transfers_;
    QVBoxLayout* transferHeader_ = nullptr;
    QPointer<TransferList> transferList_;
    std::optional<bool> headerFinished_;
    QPointer<QDialog> qrSheet_;
    QPointer<QDialog> webSheet_;
};

class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(AppModel& model, QWidget* parent = nullptr,
                        std::chrono::milliseconds hintDelay = std::chrono::seconds(45),
                        SoftwareUpdates* updates = nullptr);
    ContentView* content() const { return content_; }
    // Shows the window and brings it to the front.
    void bringForward();

signals:
    // Ctrl+Q, in this window or in a sheet over it: the desktop's usual quit key.
    void quitRequested();

protected:
    bool focusNextPrevChild(bool next) override;

private:
    void showContent();
    // Sizes the window for what it shows, within its screen.
    void fit();
    AppModel& model_;
    std::chrono::milliseconds hintDelay_;
    QPointer<SoftwareUpdates> updates_;
    QVBoxLayout* layout_;
    QPointer<QWidget> current_;
    QPointer<ContentView> content_;
    bool sized_ = false;
};

}  // namespace velmo
