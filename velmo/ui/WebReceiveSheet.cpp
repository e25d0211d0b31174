#include "velmo/ui/WebReceiveSheet.h"

#include "velmo/model/AppModel.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/NetworkHint.h"
#include "velmo/ui/QRSendSheet.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/WindowFitter.h"
#include "velmo/ui/TransferRow.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace velmo {

WebReceiveSheet::WebReceiveSheet(AppModel& model, QWidget* parent, std::chrono::milliseconds hintDelay)
    : QDialog(parent), model_(model), hintDelay_(hintDelay) {
    column_ = sheetColumn(this, QStringLiteral("Receive from an Android phone"));
    auto* later = new Throttle(this, [this] { refresh(); });
    connect(&model_, &AppModel::transfersChanged, later, &Throttle::request);
    for (auto signal : {&AppModel::webReceiveChanged, &AppModel::sharingModeChanged, &AppModel::deviceNameChanged,
                        &AppModel::downloadFolderChanged})
        connect(&model_, signal, later, [this, later] {
            stale_ = true;
            later->request();
        });
    rebuild();
}

namespace {

std::vector<TransferItem> receivedItems(const AppModel& model) {
    std::vector<TransferItem> received;
    if (const auto& session = model.webReceive())
        for (const auto& item : model.transfers())
            if (session->transferIDs.count(item.id)) received.push_back(item);
    return received;
}

}  // namespace

void WebReceiveSheet::refresh() {
    // Progress changes the rows in place, so the footer button under the pointer stays.
    if (!stale_ && updateTransferRows(rows_, receivedItems(model_))) return;
    rebuild();
}

void WebReceiveSheet::rebuild() {
    stale_ = false;
    clearLayout(column_, hint_);
    clearLayout(fittedFooter(this));
    rows_.clear();
    const auto& session = model_.webReceive();
    const std::vector<TransferItem> received = receivedItems(model_);
    if (!session || !received.empty()) {
        NetworkHint::drop(hint_);
    }
    if (!session) return;

    auto* header = new QVBoxLayout;
    header->setSpacing(4);
    header->addWidget(plainLabel(QStringLiteral("Receive from an Android phone"), fonts::title(), colors::text, this), 0,
                      Qt::AlignHCenter);
    auto* trust = plainLabel(QStringLiteral("Use a Wi-Fi network you trust. Anyone with this code can upload while it’s open."),
                             fonts::caption(), colors::sub, this);
    trust->setWordWrap(true);
    trust->setAlignment(Qt::AlignHCenter);
    header->addWidget(trust);
    if (model_.sharingMode() == SharingMode::quick) {
        auto* quick = plainLabel(QStringLiteral("Nearby Android phones can also send automatically: Share → Quick Share "
                                                "→ “%1”. Closing this stops unfinished incoming transfers.")
                                     .arg(QString::fromStdString(model_.deviceName())),
                                 fonts::caption(), colors::sub, this);
        quick->setObjectName(QStringLiteral("quickLine"));
        quick->setWordWrap(true);
        quick->setAlignment(Qt::AlignHCenter);
        header->addWidget(quick);
    }
    column_->addLayout(header);

    auto* code = new QHBoxLayout;
    code->setSpacing(24);
    code->addWidget(new QRTile(QStringLiteral("Scan with the phone"), QStringLiteral("Camera or any QR scanner"),
                               QString::fromStdString(session->url), this));
    auto* steps = new QVBoxLayout;
    steps->setSpacing(12);
    steps->addStretch(1);
    steps->addWidget(new StepRow(1, QStringLiteral("Scan this code with the phone's camera and open the link."), this));
    steps->addWidget(new StepRow(2, QStringLiteral("Tap Choose files and pick what to send."), this));
    auto* land = new StepRow(3,
                             QStringLiteral("They land in %1 on this computer.")
                                 .arg(QString::fromStdString(model_.downloadFolder().filename().string())),
                             this);
    land->setObjectName(QStringLiteral("landStep"));
    steps->addWidget(land);
    steps->addStretch(1);
    code->addLayout(steps, 1);
    column_->addLayout(code);

    if (received.empty()) {
        NetworkHint::place(hint_, column_, this, hintDelay_);
    } else {
        column_->addWidget(makeTransferCard(model_, received, QStringLiteral("received"), rows_, this));
    }

    QHBoxLayout* footer = fittedFooter(this);
    footer->addStretch(1);
    auto* button = received.empty()
                       ? new ThemedButton(QStringLiteral("Cancel"), ThemedButton::Kind::secondary, false, false, this)
                       : new ThemedButton(QStringLiteral("Done"), ThemedButton::Kind::primary, false, false, this);
    button->setObjectName(QStringLiteral("footerButton"));
    button->setDefault(true);
    connect(button, &QPushButton::clicked, &model_, [this] { model_.stopWebReceive(); });
    footer->addWidget(button);
    fitToContent(this);
}

}  // namespace velmo
