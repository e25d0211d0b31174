#include "velmo/ui/QRSendSheet.h"

#include "transfer/FileNaming.h"
#include "velmo/model/AppModel.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/ElidedLabel.h"
#include "velmo/ui/LineLimitedLabel.h"
#include "velmo/ui/NetworkHint.h"
#include "velmo/ui/QRCodeView.h"
#include "velmo/ui/QRTile.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/TopShrink.h"
#include "velmo/ui/WindowFitter.h"

#include <QHBoxLayout>
#include <algorithm>
#include <QKeyEvent>
#include <QVBoxLayout>
#include <set>

namespace velmo {

namespace {

using PhaseKind = QRSend::Recipient::Phase::Kind;

QString q(const std::string& text) { return QString::fromStdString(text); }

bool isAirDrop(const QRSend::Recipient& recipient) { return recipient.id.rfind("airdrop-", 0) == 0; }

QWidget* recipientRow(AppModel& model, const QRSend::Recipient& recipient, QWidget* parent, QPointer<QLabel>& statusOut,
                      QPointer<ProgressBar>& barOut) {
    const auto& phase = recipient.phase;
    auto* row = new QWidget(parent);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(16, 12, 16, 12);
    line->setSpacing(16);
    QString symbol = isAirDrop(recipient) ? QStringLiteral("dot.radiowaves.left.and.right") : QStringLiteral("smartphone");
    IconBadge::Tone tone = IconBadge::Tone::accent;
    if (phase.kind() == PhaseKind::failed) {
        symbol = QStringLiteral("exclamationmark");
        tone = IconBadge::Tone::danger;
    } else if (phase.kind() == PhaseKind::done) {
        symbol = QStringLiteral("checkmark");
        tone = IconBadge::Tone::success;
    }
    line->addWidget(new IconBadge(symbol, tone, 36, row), 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(6);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(new ElidedLabel(q(recipient.name), Qt::ElideRight, fonts::bodyStrong(), colors::text, row));
    const ThemeColor& statusColor = phase.kind() == PhaseKind::failed ? colors::bad
                                    : phase.kind() == PhaseKind::done ? colors::ok
                                                                      : colors::sub;
    auto* status = new LineLimitedLabel(recipientStatusText(recipient), 3, fonts::caption(), statusColor, row);
    status->setObjectName(QStringLiteral("recipientStatus"));
    texts->addWidget(status);
    statusOut = status;
    column->addLayout(texts);
    if (phase.kind() == PhaseKind::sending) {
        auto* bar = new ProgressBar(recipient.fraction, IconBadge::Tone::accent, row);
        barOut = bar;
        column->addWidget(bar);
    }
    if (phase.kind() == PhaseKind::verify) {
        auto* buttons = new QHBoxLayout;
        buttons->setSpacing(8);
        const Uuid id = phase.transferId();
        auto* match = new ThemedButton(QStringLiteral("Codes match"), ThemedButton::Kind::tinted, false, true, row);
        match->setObjectName(QStringLiteral("codesMatch"));
        match->setProperty("recipient", q(recipient.id));
        QObject::connect(match, &QPushButton::clicked, &model, [&model, id] { model.answerPeerCheck(id, true); });
        auto* cancel = new ThemedButton(QStringLiteral("Cancel"), ThemedButton::Kind::plain, false, true, row);
        cancel->setObjectName(QStringLiteral("codesCancel"));
        cancel->setProperty("recipient", q(recipient.id));
        QObject::connect(cancel, &QPushButton::clicked, &model, [&model, id] { model.answerPeerCheck(id, false); });
        for (QWidget* answer : {static_cast<QWidget*>(match), static_cast<QWidget*>(cancel)})
            answer->setProperty("revealArea", QVariant::fromValue<QObject*>(row));
        buttons->addWidget(match);
        buttons->addWidget(cancel);
        buttons->addStretch(1);
        column->addLayout(buttons);
    }
    line->addLayout(column, 1);
    return row;
}

}  // namespace

QString recipientStatusText(const QRSend::Recipient& recipient) {
    const auto& phase = recipient.phase;
    switch (phase.kind()) {
    case PhaseKind::waitingForAccept: return QStringLiteral("Tap Accept on the phone · PIN ") + q(phase.pin());
    case PhaseKind::verify:
        return QStringLiteral("Check the phone shows ") + q(phase.pin()) + QStringLiteral(" before sending.");
    case PhaseKind::failed: return q(phase.message());
    case PhaseKind::connecting:
        return isAirDrop(recipient) ? QStringLiteral("Pick the phone in AirDrop") : QStringLiteral("Connecting…");
    case PhaseKind::sending: {
        const double fraction = recipient.fraction;
        // Truncated toward zero; a value outside 0...1 never shows as more than 100 or less than 0.
        const long long percent = fraction > 1 ? 100 : fraction > 0 ? static_cast<long long>(fraction * 100) : 0;
        return QStringLiteral("Sending · %1%").arg(percent);
    }
    case PhaseKind::done: return QStringLiteral("Sent");
    }
    return {};
}

void QRSendSheet::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        const auto& send = model_.qrSend();
        if (send && !send->recipients.empty()) return;
    }
    QDialog::keyPressEvent(event);
}

QRSendSheet::QRSendSheet(AppModel& model, QWidget* parent, std::chrono::milliseconds hintDelay)
    : QDialog(parent), model_(model), hintDelay_(hintDelay) {
    column_ = sheetColumn(this, QStringLiteral("Send to your phones"));
    top_ = fittedTop(this);
    // Between a code and its captions, as in a tile.
    QMargins margins = column_->contentsMargins();
    margins.setTop(QRTile::captionGap);
    column_->setContentsMargins(margins);
    TopShrink::installForCode(this, code_, [this] { return keptBelowCode(); });
    auto* later = new Throttle(this, [this] { rebuild(); });
    connect(&model_, &AppModel::qrSendChanged, later, &Throttle::request);
    connect(&model_, &AppModel::sharingModeChanged, later, &Throttle::request);
    connect(&model_, &AppModel::airDropChanged, later, &Throttle::request);
    rebuild();
}

QString QRSendSheet::layoutKey() const {
    const auto& send = model_.qrSend();
    if (!send) return {};
    QStringList parts{q(send->session.url()), QString::number(send->files.size()),
                      q(send->files.empty() ? std::string() : send->files.front().string()),
                      QString::number(static_cast<int>(model_.sharingMode().value_or(SharingMode::quick))),
                      QString::number(model_.isAirDropAvailable()), QString::number(send->hasActiveRecipients())};
    for (const auto& recipient : send->recipients) {
        const bool sending = recipient.phase.kind() == PhaseKind::sending;
        parts << q(recipient.id) << q(recipient.name) << QString::number(static_cast<int>(recipient.phase.kind()))
              << (sending ? QString() : recipientStatusText(recipient));
    }
    return parts.join(QChar(0));
}

void QRSendSheet::rebuild() {
    const QString key = layoutKey();
    const auto& send = model_.qrSend();
    if (send && key == builtKey_ && recipientViews_.size() == send->recipients.size()) {
        for (std::size_t i = 0; i < recipientViews_.size(); ++i) {
            const auto& recipient = send->recipients[i];
            if (recipientViews_[i].status) recipientViews_[i].status->setText(recipientStatusText(recipient));
            if (recipientViews_[i].bar) recipientViews_[i].bar->setValue(recipient.fraction);
        }
        return;
    }
    builtKey_ = key;
    recipientViews_.clear();
    // The focus on a phone's answer waits on the sheet while the rows are made anew.
    QWidget* focused = focusWidget();
    const bool onAnswer = focused && column_->parentWidget()->isAncestorOf(focused);
    const QString answered = onAnswer ? focused->property("recipient").toString() : QString();
    const QString answer = onAnswer ? focused->objectName() : QString();
    if (onAnswer) setFocus(Qt::OtherFocusReason);
    // The hint keeps its own clock across rebuilds while no phone has joined.
    clearLayout(top_);
    code_ = nullptr;
    clearLayout(column_, hint_);
    clearLayout(fittedFooter(this));
    if (!send) {
        NetworkHint::drop(hint_);
        return;
    }
    const bool quick = model_.sharingMode() == SharingMode::quick;

    auto* header = new QVBoxLayout;
    header->setSpacing(4);
    header->addWidget(plainLabel(QStringLiteral("Send to your phones"), fonts::title(), colors::text, this), 0,
                      Qt::AlignHCenter);
    const QString what = send->files.size() == 1 ? q(FileNaming::shownName(send->files.front().filename().string()))
                                                 : QStringLiteral("%1 files").arg(send->files.size());
    // A long name gives way in its middle rather than widen the sheet.
    auto* whatLabel = new ElidedLabel(what, Qt::ElideMiddle, fonts::caption(), colors::sub, this);
    whatLabel->setAlignment(Qt::AlignHCenter);
    whatLabel->setObjectName(QStringLiteral("sendWhat"));
    header->addWidget(whatLabel);
    top_->addLayout(header);

    // The codes stay above the column, their captions begin it.
    auto* codes = new QHBoxLayout;
    codes->setSpacing(16);
    auto* captions = new QHBoxLayout;
    captions->setSpacing(16);
    code_ = new QRCodeView(q(send->session.url()), this);
    codes->addWidget(code_, 1, Qt::AlignHCenter | Qt::AlignTop);
    captions->addLayout(tileCaptions(QStringLiteral("Android"), QStringLiteral("Same trusted Wi-Fi as this computer"), this), 1);
    if (model_.isAirDropAvailable()) {
        auto* box = new QWidget(this);
        box->setFixedSize(232, 232);
        auto* boxColumn = new QVBoxLayout(box);
        boxColumn->setSpacing(16);
        boxColumn->addWidget(new IconBadge(QStringLiteral("dot.radiowaves.left.and.right"), IconBadge::Tone::accent, 56, box),
                             0, Qt::AlignHCenter);
        auto* pick = plainLabel(QStringLiteral("Pick the phone in the AirDrop window."), fonts::caption(), colors::sub, box);
        pick->setAlignment(Qt::AlignHCenter);
        pick->setWordWrap(true);
        boxColumn->addWidget(pick);
        auto* airDrop = new ThemedButton(QStringLiteral("Send with AirDrop"), ThemedButton::Kind::tinted, false, false, box);
        const auto files = send->files;
        connect(airDrop, &QPushButton::clicked, &model_, [this, files] { model_.sendViaAirDrop(files); });
        boxColumn->addWidget(airDrop);
        codes->addWidget(box, 1, Qt::AlignHCenter | Qt::AlignTop);
        captions->addLayout(
            tileCaptions(QStringLiteral("iPhone or newer Android"), QStringLiteral("AirDrop, works on any network"), this), 1);
    }
    top_->addLayout(codes);
    column_->addLayout(captions);

    const auto& recipients = send->recipients;
    if (recipients.empty()) {
        auto* steps = new QVBoxLayout;
        steps->setSpacing(12);
        steps->addWidget(new StepRow(1, QStringLiteral("Android: scan the code with the Camera, then tap the Quick Share link."), this));
        steps->addWidget(new StepRow(
            2, quick ? QStringLiteral("Your chosen files send automatically. Keep this code open for more phones.")
                     : QStringLiteral("Check the code on the phone matches this computer. Click Codes match here, then "
                                      "Accept on the phone."),
            this));
        steps->addWidget(new StepRow(3, QStringLiteral("The code needs the same Wi-Fi as this computer."), this));
        column_->addLayout(steps);
        NetworkHint::place(hint_, column_, this, hintDelay_);
    } else {
        NetworkHint::drop(hint_);
        auto* card = new Card(false, this);
        card->setObjectName(QStringLiteral("recipients"));
        auto* list = new QVBoxLayout(card);
        list->setContentsMargins(0, 0, 0, 0);
        list->setSpacing(0);
        bool first = true;
        for (const auto& recipient : recipients) {
            if (!first) list->addWidget(makeDivider(card));
            first = false;
            RecipientView& view = recipientViews_.emplace_back();
            view.row = recipientRow(model_, recipient, card, view.status, view.bar);
            list->addWidget(view.row);
        }
        column_->addWidget(card);
        auto* more = plainLabel(QStringLiteral("More phones can scan the same code to get these files too."),
                                fonts::caption(), colors::sub, this);
        more->setWordWrap(true);
        more->setAlignment(Qt::AlignHCenter);
        column_->addWidget(more);
    }
    if (quick) {
        auto* open = plainLabel(
            QStringLiteral("Anyone who scans this code on your Wi-Fi can receive these files while it’s open."),
            fonts::caption(), colors::sub, this);
        open->setObjectName(QStringLiteral("openCodeLine"));
        open->setWordWrap(true);
        open->setAlignment(Qt::AlignHCenter);
        column_->addWidget(open);
    }

    QHBoxLayout* footer = fittedFooter(this);
    if (!recipients.empty()) {
        long long done = 0;
        for (const auto& recipient : recipients) done += recipient.phase.kind() == PhaseKind::done ? 1 : 0;
        auto* count = plainLabel(QStringLiteral("Sent to %1 of %2").arg(done).arg(recipients.size()), fonts::caption(),
                                 colors::sub, this);
        count->setObjectName(QStringLiteral("sentCount"));
        footer->addWidget(count);
    }
    footer->addStretch(1);
    ThemedButton* button = nullptr;
    if (recipients.empty())
        button = new ThemedButton(QStringLiteral("Cancel"), ThemedButton::Kind::secondary, false, false, this);
    else if (send->hasActiveRecipients())
        button = new ThemedButton(QStringLiteral("Stop"), ThemedButton::Kind::secondary, false, false, this);
    else
        button = new ThemedButton(QStringLiteral("Done"), ThemedButton::Kind::primary, false, false, this);
    button->setObjectName(QStringLiteral("footerButton"));
    // Return presses only "Done"; Escape rejects the dialog, which cancels the send.
    button->setAutoDefault(false);
    button->setDefault(button->text() == QLatin1String("Done"));
    connect(button, &QPushButton::clicked, &model_, [this] { model_.cancelQRSend(); });
    footer->addWidget(button);
    fitToContent(this);
    focusAnswer(onAnswer, answered, answer);
}

void QRSendSheet::focusAnswer(bool onAnswer, const QString& recipient, const QString& answer) {
    const auto answers = column_->parentWidget()->findChildren<QPushButton*>();
    std::set<QString> questions;
    QPushButton* same = nullptr;
    QPushButton* next = nullptr;
    QPushButton* fresh = nullptr;
    for (QPushButton* button : answers) {
        const QString id = button->property("recipient").toString();
        if (id == recipient && button->objectName() == answer) same = button;
        if (button->objectName() != QLatin1String("codesMatch")) continue;
        questions.insert(id);
        if (!next && id != recipient) next = button;
        if (!fresh && !questions_.count(id)) fresh = button;
    }
    questions_ = std::move(questions);
    // The answer that had the focus keeps it; once answered, the focus goes on to the next
    // question, or stays on the sheet, never to the footer, where Space would end the send. A
    // new question takes the focus unless another one holds it, and is scrolled into view.
    QPushButton* target = onAnswer ? (same ? same : next) : fresh;
    if (!target) return;
    QMetaObject::invokeMethod(
        this, [target = QPointer<QPushButton>(target)] {
            if (target && target->isVisible()) target->setFocus(Qt::TabFocusReason);
        },
        Qt::QueuedConnection);
}

QWidget* QRSendSheet::keptBelowCode() const {
    for (const auto& view : recipientViews_)
        if (view.row && view.row->findChild<QPushButton*>(QStringLiteral("codesMatch"))) return view.row;
    return recipientViews_.empty() ? nullptr : recipientViews_.front().row.data();
}

}  // namespace velmo
