#include "velmo/ui/MainWindow.h"

#include "velmo/model/AppModel.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/DeviceList.h"
#include "velmo/ui/DropZone.h"
#include "velmo/ui/QRSendSheet.h"
#include "velmo/ui/SettingsView.h"
#include "velmo/ui/SharingConsentView.h"
#include "velmo/ui/SharingWindowObserver.h"
#include "velmo/model/SoftwareUpdates.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/TransferList.h"
#include "velmo/ui/TransferRow.h"
#include "velmo/ui/WebReceiveSheet.h"
#include "velmo/ui/WindowFitter.h"

#include <QAction>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

namespace velmo {

namespace {

constexpr int minimumContentHeight = 520;
constexpr int openingContentHeight = 720;

ThemedButton* symbolButton(const QString& text, const QString& symbol, ThemedButton::Kind kind, bool hero,
                           QWidget* parent) {
    auto* button = new ThemedButton(text, kind, hero, false, parent);
    setButtonSymbol(button, symbol);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

ContentView::ContentView(AppModel& model, QWidget* parent, std::chrono::milliseconds hintDelay,
                         SoftwareUpdates* updates)
    : QWidget(parent), model_(model), hintDelay_(hintDelay), updates_(updates) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    QScrollArea* scroll = columnScroll(this);
    outer->addWidget(scroll);
    auto* columnWidget = new QWidget;
    applyWindowBackground(columnWidget);
    scroll->setWidget(columnWidget);
    auto* column = new QVBoxLayout(columnWidget);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(24);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    header->addWidget(new VelmoTile(40, columnWidget));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(0);
    titles->addWidget(plainLabel(QStringLiteral("Velmo"), fonts::title(), colors::text, columnWidget));
    titles->addWidget(plainLabel(QStringLiteral("Scan, and it's there."), fonts::caption(), colors::sub, columnWidget));
    header->addLayout(titles);
    header->addStretch(1);
    auto* settings = new ThemedButton(QString(), ThemedButton::Kind::plain, false, false, columnWidget);
    settings->setObjectName(QStringLiteral("settingsButton"));
    settings->setSymbol(QStringLiteral("gearshape"), 20);
    settings->setToolTip(QStringLiteral("Settings"));
    settings->setAccessibleName(QStringLiteral("Settings"));
    connect(settings, &QPushButton::clicked, this, [this, settings] { showSettingsPopover(model_, settings, updates_); });
    header->addWidget(settings);
    column->addLayout(header);

    updateNotice_ = new QVBoxLayout;
    updateNotice_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(updateNotice_);
    column->addWidget(new DropZone(model_, columnWidget));

    auto* actions = new QVBoxLayout;
    actions->setSpacing(8);
    sendButton_ = symbolButton(QString(), QStringLiteral("qrcode"), ThemedButton::Kind::primary, true, columnWidget);
    sendButton_->setObjectName(QStringLiteral("sendButton"));
    connect(sendButton_, &QPushButton::clicked, &model_, [this] { model_.startQRSend(); });
    actions->addWidget(sendButton_);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    if (model_.isAirDropAvailable()) {
        auto* airDrop = symbolButton(QStringLiteral("AirDrop"), QStringLiteral("dot.radiowaves.left.and.right"),
                                     ThemedButton::Kind::tinted, false, columnWidget);
        airDrop->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        airDrop->setToolTip(QStringLiteral("iPhones and newer Android phones (Pixel 10, Galaxy S26…). Works on any network."));
        connect(airDrop, &QPushButton::clicked, &model_, [this] { model_.sendStagedViaAirDrop(); });
        row->addWidget(airDrop, 1);
    }
    auto* receive = symbolButton(QStringLiteral("Receive from Android"), QStringLiteral("tray.and.arrow.down"),
                                 ThemedButton::Kind::tinted, false, columnWidget);
    receive->setObjectName(QStringLiteral("receiveButton"));
    receive->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(receive, &QPushButton::clicked, &model_, [this] { model_.startWebReceive(); });
    row->addWidget(receive, 1);
    actions->addLayout(row);
    column->addLayout(actions);

    const auto section = [&] {
        auto* layout = new QVBoxLayout;
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        column->addLayout(layout);
        return layout;
    };
    status_ = section();
    phones_ = section();
    transfers_ = section();
    column->addStretch(1);

    connect(&model_, &AppModel::stagedChanged, this, &ContentView::refreshSendButton);
    connect(&model_, &AppModel::statusMessageChanged, this, &ContentView::refreshStatus);
    connect(&model_, &AppModel::quickSharePhonesChanged, this, &ContentView::refreshPhones);
    auto* transfersLater = new Throttle(this, [this] { refreshTransfers(); });
    connect(&model_, &AppModel::transfersChanged, transfersLater, &Throttle::request);
    connect(&model_, &AppModel::peerChecksChanged, transfersLater, &Throttle::request);
    connect(&model_, &AppModel::qrSendChanged, this, &ContentView::followQRSend);
    connect(&model_, &AppModel::webReceiveChanged, this, &ContentView::followWebReceive);
    if (updates_) connect(updates_, &SoftwareUpdates::availableChanged, this, &ContentView::refreshUpdateNotice);
    refreshUpdateNotice();
    refreshSendButton();
    refreshStatus();
    refreshPhones();
    refreshTransfers();
    // Sessions already open when the window is built show their sheets once it is shown.
    QMetaObject::invokeMethod(this, [this] { followQRSend(); followWebReceive(); }, Qt::QueuedConnection);
}

ContentView::~ContentView() {
    // Sheets closed with the window are not a user's close: nothing to cancel here.
    for (QDialog* sheet : {qrSheet_.data(), webSheet_.data()})
        if (sheet) {
            sheet->disconnect(this);
            delete sheet;
        }
}

void ContentView::refreshUpdateNotice() {
    clearLayout(updateNotice_);
    if (!updates_ || !updates_->available()) return;
    auto* notice = new ThemedButton(
        QStringLiteral("Update to Velmo ") + QString::fromStdString(updates_->available()->version) + QStringLiteral("…"),
        ThemedButton::Kind::tinted, false, false, this);
    notice->setObjectName(QStringLiteral("updateNotice"));
    notice->setAutoDefault(false);
    connect(notice, &QPushButton::clicked, this, [this] {
        if (updates_) updates_->checkNow();
    });
    updateNotice_->addWidget(notice, 0, Qt::AlignLeft);
}

void ContentView::refreshSendButton() {
    sendButton_->setText(model_.staged().empty() ? QStringLiteral("Send to Android Phone…")
                                                 : QStringLiteral("Send to Android Phone"));
}

void ContentView::refreshStatus() {
    clearLayout(status_);
    if (const auto& message = model_.statusMessage()) {
        auto* banner = new Banner(QStringLiteral("exclamationmark.triangle.fill"), QString::fromStdString(*message),
                                  Banner::Tone::danger, this);
        banner->setObjectName(QStringLiteral("statusBanner"));
        status_->addWidget(banner);
    }
}

void ContentView::refreshPhones() {
    clearLayout(phones_);
    const auto count = static_cast<long long>(model_.quickSharePhones().size());
    if (count == 0) return;
    phones_->addWidget(new SectionHeader(QStringLiteral("Nearby phones"), count, nullptr, this));
    phones_->addWidget(makePhonesCard(model_, QStringLiteral("phonesCard"), QStringLiteral("sendToAll"), this));
}

void ContentView::refreshTransfers() {
    const auto& transfers = model_.transfers();
    if (transfers.empty()) {
        clearLayout(transfers_);
        transferList_ = nullptr;
        return;
    }
    const bool anyFinished = std::any_of(transfers.begin(), transfers.end(),
                                         [](const TransferItem& item) { return !item.state.isActive(); });
    if (!transferList_) {
        transferHeader_ = new QVBoxLayout;
        transferHeader_->setContentsMargins(0, 0, 0, 0);
        transfers_->addLayout(transferHeader_);
        transferList_ = new TransferList(model_, this);
        transferList_->setObjectName(QStringLiteral("transfersCard"));
        transfers_->addWidget(transferList_);
        headerFinished_.reset();
    }
    // Rows change in place; the header only when "Clear finished" comes or goes.
    if (headerFinished_ != anyFinished) {
        headerFinished_ = anyFinished;
        clearLayout(transferHeader_);
        ThemedButton* clear = nullptr;
        if (anyFinished) {
            clear = new ThemedButton(QStringLiteral("Clear finished"), ThemedButton::Kind::plain, false, true);
            clear->setObjectName(QStringLiteral("clearFinished"));
            connect(clear, &QPushButton::clicked, &model_, [this] { model_.clearFinished(); });
        }
        transferHeader_->addWidget(new SectionHeader(QStringLiteral("Transfers"), std::nullopt, clear, this));
    }
    transferList_->show(transfers);
}

void ContentView::followSession(bool open, QPointer<QDialog>& slot, const std::function<QDialog*()>& make,
                                const std::function<void()>& end) {
    if (open && !slot) {
        QDialog* sheet = make();
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        slot = sheet;
        // Closed by the user (Escape, the window's close, a button): the session ends.
        connect(sheet, &QDialog::finished, this, [end] { end(); });
        // The sheet blocks the window under it, whose shortcuts then go quiet: it carries the
        // window's quit key as well.
        sheet->addActions(window()->actions());
        sheet->open();
    } else if (!open && slot) {
        QDialog* sheet = slot;
        slot = nullptr;
        sheet->disconnect(this);
        sheet->close();
    }
}

void ContentView::followQRSend() {
    followSession(
        model_.qrSend().has_value(), qrSheet_, [this] { return new QRSendSheet(model_, window(), hintDelay_); },
        [this] { model_.cancelQRSend(); });
}

void ContentView::followWebReceive() {
    followSession(
        model_.webReceive().has_value(), webSheet_,
        [this] { return new WebReceiveSheet(model_, window(), hintDelay_); }, [this] { model_.stopWebReceive(); });
}

MainWindow::MainWindow(AppModel& model, QWidget* parent, std::chrono::milliseconds hintDelay, SoftwareUpdates* updates)
    : QWidget(parent), model_(model), hintDelay_(hintDelay), updates_(updates) {
    setWindowTitle(QStringLiteral("Velmo"));
    applyWindowBackground(this);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    setFixedWidth(480);
    new WindowFitter(this, [this] { fit(); });
    new SharingWindowObserver(this, [this] {
        model_.cancelQRSend();
        model_.stopWebReceive();
    });
    connect(&model_, &AppModel::sharingModeChanged, this, &MainWindow::showContent);
    // Application-wide: it works wherever the keyboard is in Velmo while this window shows.
    auto* quit = new QAction(this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);
    addAction(quit);
    showContent();
}

void MainWindow::showContent() {
    const bool chosen = model_.sharingMode().has_value();
    if (current_ && chosen == static_cast<bool>(content_)) return;
    if (current_) {
        layout_->removeWidget(current_);
        current_->hide();
        current_->deleteLater();
    }
    if (chosen) {
        content_ = new ContentView(model_, this, hintDelay_, updates_);
        current_ = content_;
    } else {
        content_ = nullptr;
        // The choice scrolls only on a screen too short for it.
        QScrollArea* scroll = columnScroll(this);
        auto* consent = new SharingConsentView(model_, scroll);
        scroll->setWidget(consent);
        // Taken into the scroll area, the view holds the window's first focus again.
        holdInitialFocus(consent);
        current_ = scroll;
    }
    layout_->addWidget(current_);
    fit();
}

void MainWindow::fit() {
    const int room = roomHeight(this);
    if (content_) {
        // The main column scrolls: it opens at a comfortable height and may be made taller.
        setMinimumHeight(std::min(minimumContentHeight, room));
        setMaximumHeight(QWIDGETSIZE_MAX);
        if (!sized_ || height() > room) resize(width(), std::min(openingContentHeight, room));
        sized_ = true;
    } else if (auto* scroll = qobject_cast<QScrollArea*>(current_.data())) {
        // The choice's height is its content's.
        setFixedHeight(std::min(contentHeight(scroll->widget()->layout(), width()), room));
        sized_ = false;
    }
    if (isVisible()) keepOnScreen(this);
}

bool MainWindow::focusNextPrevChild(bool next) {
    // Rows, files and banners come and go: Tab follows the column as it stands now.
    return tabInLayoutOrder(this, next) || QWidget::focusNextPrevChild(next);
}

void MainWindow::bringForward() {
    show();
    raise();
    activateWindow();
}

}  // namespace velmo
