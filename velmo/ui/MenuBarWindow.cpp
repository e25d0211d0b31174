#include "velmo/ui/MenuBarWindow.h"

#include "velmo/model/AppModel.h"
#include "velmo/ui/Components.h"
#include "velmo/model/SoftwareUpdates.h"
#include "velmo/ui/DeviceList.h"
#include "velmo/ui/PopupWindow.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/TransferRow.h"
#include "velmo/ui/VelmoMark.h"
#include "velmo/ui/WindowFitter.h"

#include <QCursor>
#include <QDragEnterEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMimeData>
#include <QPainter>
#include <QVBoxLayout>

namespace velmo {

namespace {

constexpr int menuWidth = 372;

// The send button also takes files: they are staged and a QR send starts.
class DropSendButton : public ThemedButton {
public:
    DropSendButton(AppModel& model, QWidget* parent)
        : ThemedButton(QStringLiteral("Send to Android Phone…"), Kind::primary, true, false, parent), model_(model) {
        setAcceptDrops(true);
    }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override {
        if (event->mimeData()->hasUrls()) event->acceptProposedAction();
    }
    void dropEvent(QDropEvent* event) override {
        event->acceptProposedAction();
        model_.stageUrls(event->mimeData()->urls());
        model_.startQRSend();
    }

private:
    AppModel& model_;
};

bool sessionOpen(const AppModel& model) { return model.qrSend().has_value() || model.webReceive().has_value(); }

}  // namespace

MenuBarView::MenuBarView(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit,
                         QWidget* parent, SoftwareUpdates* updates)
    : QWidget(parent), model_(model), openMainWindow_(std::move(openMainWindow)), quit_(std::move(quit)),
      updates_(updates), sessionActive_(sessionOpen(model)) {
    applyWindowBackground(this);
    // Many phones make a long list: beyond the screen's height it scrolls above the bottom bar.
    QVBoxLayout* column = fittedColumn(this, menuWidth, 16, 16, true);

    // Built once: only the phones card and the transfer card follow the model, so no model
    // change takes away a button while it is being pressed.
    auto* send = new DropSendButton(model_, this);
    send->setObjectName(QStringLiteral("menuSend"));
    setButtonSymbol(send, QStringLiteral("qrcode"));
    connect(send, &QPushButton::clicked, &model_, [this] { model_.startQRSend(); });
    column->addWidget(send);
    auto* receive = new ThemedButton(QStringLiteral("Receive from Android"), ThemedButton::Kind::tinted, false, false, this);
    setButtonSymbol(receive, QStringLiteral("tray.and.arrow.down"));
    receive->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(receive, &QPushButton::clicked, &model_, [this] { model_.startWebReceive(); });
    column->addWidget(receive);
    phones_ = new QVBoxLayout;
    phones_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(phones_);
    transfer_ = new QVBoxLayout;
    transfer_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(transfer_);

    column->addWidget(makeDivider(this));
    QHBoxLayout* bottom = fittedFooter(this);
    bottom->setSpacing(8);
    auto* open = new ThemedButton(QStringLiteral("Open Window"), ThemedButton::Kind::plain, false, false, this);
    connect(open, &QPushButton::clicked, this, [this] {
        if (openMainWindow_) openMainWindow_();
    });
    bottom->addWidget(open);
    bottom->addStretch(1);
    if (updates_ && updates_->isConfigured()) {
        auto* check = new ThemedButton(QStringLiteral("Updates…"), ThemedButton::Kind::plain, false, false, this);
        check->setObjectName(QStringLiteral("menuUpdates"));
        check->setEnabled(!updates_->isBusy());
        connect(check, &QPushButton::clicked, this, [this] {
            if (updates_) updates_->checkNow();
        });
        connect(updates_, &SoftwareUpdates::busyChanged, check, [this, check] {
            if (updates_) check->setEnabled(!updates_->isBusy());
        });
        bottom->addWidget(check);
    }
    auto* quitButton = new ThemedButton(QStringLiteral("Quit"), ThemedButton::Kind::plain, false, false, this);
    connect(quitButton, &QPushButton::clicked, this, [this] {
        if (quit_) quit_();
    });
    bottom->addWidget(quitButton);

    connect(&model_, &AppModel::quickSharePhonesChanged, this, &MenuBarView::refreshPhones);
    auto* later = new Throttle(this, [this] { refreshTransfer(); });
    connect(&model_, &AppModel::transfersChanged, later, &Throttle::request);
    connect(&model_, &AppModel::peerChecksChanged, later, &Throttle::request);
    connect(&model_, &AppModel::qrSendChanged, this, &MenuBarView::watchSessions);
    connect(&model_, &AppModel::webReceiveChanged, this, &MenuBarView::watchSessions);
    refreshPhones();
    refreshTransfer();
}

void MenuBarView::watchSessions() {
    const bool active = sessionOpen(model_);
    const bool started = active && !sessionActive_;
    sessionActive_ = active;
    if (started && openMainWindow_) openMainWindow_();
}

bool MenuBarView::focusNextPrevChild(bool next) {
    // The phones and the transfer come and go between the fixed buttons.
    return tabInLayoutOrder(this, next) || QWidget::focusNextPrevChild(next);
}

void MenuBarView::refreshPhones() {
    clearLayout(phones_);
    if (!model_.quickSharePhones().empty())
        phones_->addWidget(makePhonesCard(model_, QStringLiteral("menuPhones"), QStringLiteral("menuSendToAll"), this));
}

void MenuBarView::refreshTransfer() {
    // The first active transfer, if any; progress changes its row in place.
    const auto& transfers = model_.transfers();
    const auto current = std::find_if(transfers.begin(), transfers.end(),
                                      [](const TransferItem& item) { return item.state.isActive(); });
    std::vector<TransferItem> shown;
    if (current != transfers.end()) shown.push_back(*current);
    if (updateTransferRows(transferRow_, shown)) return;
    clearLayout(transfer_);
    transferRow_.clear();
    if (!shown.empty())
        transfer_->addWidget(makeTransferCard(model_, shown, QStringLiteral("menuTransfer"), transferRow_, this));
}

LockedMenu::LockedMenu(std::function<void()> openMainWindow, std::function<void()> quit, QWidget* parent)
    : QWidget(parent) {
    applyWindowBackground(this);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(16);
    column->addWidget(plainLabel(QStringLiteral("Choose how Velmo shares files"), fonts::bodyStrong(), colors::text, this));
    auto* open = new ThemedButton(QStringLiteral("Open Velmo"), ThemedButton::Kind::primary, false, false, this);
    connect(open, &QPushButton::clicked, this, [openMainWindow] {
        if (openMainWindow) openMainWindow();
    });
    column->addWidget(open, 0, Qt::AlignLeft);
    auto* quitButton = new ThemedButton(QStringLiteral("Quit"), ThemedButton::Kind::plain, false, false, this);
    connect(quitButton, &QPushButton::clicked, this, [quit] {
        if (quit) quit();
    });
    column->addWidget(quitButton, 0, Qt::AlignLeft);
}

MenuBarWindow::MenuBarWindow(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit,
                             SoftwareUpdates* updates, QObject* parent)
    : QObject(parent), model_(model), quit_(std::move(quit)), updates_(updates) {
    // Edged like the settings popover, so that it stands apart from a window under it.
    popup_ = std::make_unique<PopupWindow>();
    layout_ = new QVBoxLayout(popup_.get());
    layout_->setContentsMargins(PopupWindow::edge, PopupWindow::edge, PopupWindow::edge, PopupWindow::edge);
    layout_->setSizeConstraint(QLayout::SetFixedSize);
    // Opening the main window also closes the popup.
    openMainWindow_ = [this, openMainWindow = std::move(openMainWindow)] {
        popup_->hide();
        if (openMainWindow) openMainWindow();
    };
    connect(&model_, &AppModel::sharingModeChanged, this, &MenuBarWindow::refreshContent);
    refreshContent();

    tray_ = new QSystemTrayIcon(this);
    tray_->setIcon(velmo::trayIcon());
    tray_->setToolTip(QStringLiteral("Velmo"));
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context) return;
        if (popup_->isVisible()) popup_->hide();
        else showPopup(tray_->geometry().isValid() ? tray_->geometry().bottomLeft() : QCursor::pos());
    });
    tray_->show();
}

MenuBarWindow::~MenuBarWindow() = default;

void MenuBarWindow::refreshContent() {
    const bool unlocked = model_.isSharingAllowed();
    if (content_ && unlocked == unlocked_) return;
    unlocked_ = unlocked;
    if (content_) {
        layout_->removeWidget(content_);
        content_->hide();
        content_->deleteLater();
    }
    if (unlocked) content_ = new MenuBarView(model_, openMainWindow_, quit_, popup_.get(), updates_);
    else content_ = new LockedMenu(openMainWindow_, quit_, popup_.get());
    layout_->addWidget(content_);
}

void MenuBarWindow::showPopup(const QPoint& near) {
    popup_->move(near);
    // The menu fits the screen it opens on.
    if (content_) fitToContent(content_);
    layout_->activate();
    keepOnScreen(popup_.get());
    // It opens at its start, as a sheet does, not on the control it was closed from: the first
    // Tab reaches its first control, and Return presses nothing before that.
    if (content_) holdInitialFocus(content_);
    popup_->show();
}

}  // namespace velmo
