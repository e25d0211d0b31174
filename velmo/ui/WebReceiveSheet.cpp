#include "velmo/ui/WebReceiveSheet.h"

#include "velmo/model/AppModel.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/NetworkHint.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/QRCodeView.h"
#include "velmo/ui/QRTile.h"
#include "velmo/ui/TopShrink.h"
#include "velmo/ui/WindowFitter.h"
#include "velmo/ui/TransferList.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace velmo {

namespace {

std::vector<TransferItem> receivedItems(const AppModel& model) {
    std::vector<TransferItem> received;
    if (const auto& session = model.webReceive())
        for (const auto& item : model.transfers())
            if (session->transferIDs.count(item.id)) received.push_back(item);
    return received;
}

}  // namespace

WebReceiveSheet::WebReceiveSheet(AppModel& model, QWidget* parent, std::chrono::milliseconds hintDelay)
    : QDialog(parent), model_(model), hintDelay_(hintDelay) {
    column_ = sheetColumn(this, QStringLiteral("Receive from an Android phone"));
    top_ = fittedTop(this);
    // Under the code: the header's lines and the newest upload's row, or else the hint.
    TopShrink::installForCode(this, code_, [this] { return list_ && list_->isVisible() ? list_->firstRow() : nullptr; });
    auto* later = new Throttle(this, [this] { refresh(); });
    for (auto signal : {&AppModel::transfersChanged, &AppModel::webReceiveChanged, &AppModel::sharingModeChanged,
                        &AppModel::deviceNameChanged, &AppModel::downloadFolderChanged})
        connect(&model_, signal, later, &Throttle::request);
    rebuild();
}

void WebReceiveSheet::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        for (const TransferItem& item : receivedItems(model_))
            if (item.state.isActive()) return;
    QDialog::keyPressEvent(event);
}

bool WebReceiveSheet::focusNextPrevChild(bool next) {
    return tabInLayoutOrder(this, next) || QDialog::focusNextPrevChild(next);
}

QString WebReceiveSheet::layoutKey() const {
    const auto& session = model_.webReceive();
    if (!session) return {};
    return QStringList{QString::fromStdString(session->url),
                       QString::number(static_cast<int>(model_.sharingMode().value_or(SharingMode::quick))),
                       QString::fromStdString(model_.deviceName()),
                       QString::fromStdString(model_.downloadFolder().filename().string())}
        .join(QChar(0));
}

void WebReceiveSheet::refresh() {
    // Each receive adds to the session's rows: only a new session or new texts build anew.
    if (layoutKey() != builtKey_ || !list_) return rebuild();
    const std::vector<TransferItem> received = receivedItems(model_);
    list_->show(received);
    list_->setVisible(!received.empty());
    if (received.empty() && !hint_) NetworkHint::place(hint_, column_, this, hintDelay_);
    if (!received.empty()) NetworkHint::drop(hint_);
    // The first upload's row takes the hint's place: the column shows it from the start, wherever
    // the hint had scrolled it.
    if (!done_ && !received.empty())
        if (auto* scroll = findChild<QScrollArea*>()) scroll->verticalScrollBar()->setValue(0);
    if (done_ != !received.empty()) showFooter(!received.empty());
}

void WebReceiveSheet::showFooter(bool received) {
    done_ = received;
    QHBoxLayout* footer = fittedFooter(this);
    clearLayout(footer);
    footer->addStretch(1);
    auto* button = received ? new ThemedButton(QStringLiteral("Done"), ThemedButton::Kind::primary, false, false, this)
                            : new ThemedButton(QStringLiteral("Cancel"), ThemedButton::Kind::secondary, false, false, this);
    button->setObjectName(QStringLiteral("footerButton"));
    button->setDefault(true);
    connect(button, &QPushButton::clicked, &model_, [this] { model_.stopWebReceive(); });
    footer->addWidget(button);
}

void WebReceiveSheet::rebuild() {
    builtKey_ = layoutKey();
    clearLayout(top_);
    clearLayout(column_, hint_);
    clearLayout(fittedFooter(this));
    const auto& session = model_.webReceive();
    if (!session) {
        NetworkHint::drop(hint_);
        return;
    }

    // The title and the code stay in view above the column; the code shrinks on a short screen.
    auto* title = plainLabel(QStringLiteral("Receive from an Android phone"), fonts::title(), colors::text, this);
    top_->addWidget(title, 0, Qt::AlignHCenter);
    auto* code = new QHBoxLayout;
    code->setSpacing(24);
    auto* tile = new QRTile(QStringLiteral("Scan with the phone"), QStringLiteral("Camera or any QR scanner"),
                            QString::fromStdString(session->url), this);
    code_ = tile->findChild<QRCodeView*>();
    code->addWidget(tile, 0, Qt::AlignTop);
    auto* steps = new QVBoxLayout;
    steps->setSpacing(12);
    steps->addStretch(1);
    steps->addWidget(new StepRow(1, QStringLiteral("Scan this code with the phone's camera and open the link."), this));
    steps->addWidget(new StepRow(2, QStringLiteral("Tap Choose files and pick what to send."), this));
    auto* land = new StepRow(3,
                             QStringLiteral("They land in %1 on this computer.")
                                 .arg(isolated(QString::fromStdString(model_.downloadFolder().filename().string()))),
                             this);
    land->setObjectName(QStringLiteral("landStep"));
    steps->addWidget(land);
    steps->addStretch(1);
    code->addLayout(steps, 1);
    top_->addLayout(code);

    auto* header = new QVBoxLayout;
    header->setSpacing(4);
    auto* trust = plainLabel(QStringLiteral("Use a Wi-Fi network you trust. Anyone with this code can upload while it’s open."),
                             fonts::caption(), colors::sub, this);
    trust->setWordWrap(true);
    trust->setAlignment(Qt::AlignHCenter);
    header->addWidget(trust);
    if (model_.sharingMode() == SharingMode::quick) {
        auto* quick = plainLabel(QStringLiteral("Nearby Android phones can also send automatically: Share → Quick Share "
                                                "→ “%1”. Closing this stops unfinished incoming transfers.")
                                     .arg(isolated(QString::fromStdString(model_.deviceName()))),
                                 fonts::caption(), colors::sub, this);
        quick->setObjectName(QStringLiteral("quickLine"));
        quick->setWordWrap(true);
        quick->setAlignment(Qt::AlignHCenter);
        header->addWidget(quick);
    }
    column_->addLayout(header);

    list_ = new TransferList(model_, this);
    list_->setObjectName(QStringLiteral("received"));
    column_->addWidget(list_);
    const std::vector<TransferItem> received = receivedItems(model_);
    list_->show(received);
    list_->setVisible(!received.empty());
    if (received.empty()) NetworkHint::place(hint_, column_, this, hintDelay_);
    else NetworkHint::drop(hint_);
    showFooter(!received.empty());
    fitToContent(this);
}

}  // namespace velmo
