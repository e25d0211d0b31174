#include "velmo/ui/TransferRow.h"

#include "velmo/model/AppModel.h"
#include "velmo/model/ByteCountFormat.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/LineLimitedLabel.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

#include <QDesktopServices>
#include <QEvent>
#include <QHBoxLayout>
#include <QProcess>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace velmo {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

using Kind = TransferItem::State::Kind;

// The status line with the phone's name as given, isolated so that a right-to-left name keeps
// the words and sizes around it in their order.
QString statusText(const TransferItem& item, const QString& name) {
    const QString peer = isolated(name);
    const bool sending = item.direction == TransferItem::Direction::sending;
    const QString peerPart = (sending ? QStringLiteral("to ") : QStringLiteral("from ")) + peer;
    const QString codePart = item.code ? QStringLiteral(" · code ") + q(*item.code) : QString();
    switch (item.state.kind()) {
    case Kind::connecting: return QStringLiteral("Connecting ") + peerPart + QStringLiteral("…");
    case Kind::awaitingAccept:
        // Several rows may ask at once (a send to every phone): each names its phone.
        if (item.needsPeerCheck)
            return QStringLiteral("Check the phone shows ") + q(item.code.value_or("")) + QStringLiteral(" · ") +
                   peerPart;
        if (!sending) return QStringLiteral("Waiting for your answer") + codePart;
        return QStringLiteral("Waiting for ") + peer + QStringLiteral(" to accept") + codePart;
    case Kind::transferring:
        return formatByteCount(item.done) + QStringLiteral(" of ") + formatByteCount(item.total) + QStringLiteral(" ") +
               peerPart;
    case Kind::done: return QStringLiteral("Done ") + peerPart + QStringLiteral(" · ") + formatByteCount(item.total);
    case Kind::declined: return sending ? peer + QStringLiteral(" declined") : QStringLiteral("You declined");
    case Kind::failed: return q(item.state.message());
    }
    return {};
}

}  // namespace

QString transferStatusText(const TransferItem& item) { return statusText(item, q(item.peer)); }

TransferRow::TransferRow(AppModel& model, TransferItem item, QWidget* parent)
    : QWidget(parent), model_(model), item_(std::move(item)) {
    const Kind kind = item_.state.kind();
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 12, 16, 12);
    row->setSpacing(16);

    const IconBadge::Tone tone = kind == Kind::done                               ? IconBadge::Tone::success
                                 : kind == Kind::declined || kind == Kind::failed ? IconBadge::Tone::danger
                                                                                  : IconBadge::Tone::accent;
    auto* badge = new IconBadge(item_.direction == TransferItem::Direction::sending ? QStringLiteral("arrow.up")
                                                                                    : QStringLiteral("arrow.down"),
                                tone, 36, this);
    badge->setObjectName(QStringLiteral("directionBadge"));
    row->addWidget(badge, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout;
    column->setSpacing(6);
    summary_ = new ElidedLabel(q(item_.summary), Qt::ElideMiddle, fonts::bodyStrong(), colors::text, this);
    summary_->setObjectName(QStringLiteral("summary"));
    column->addWidget(summary_);
    if (kind == Kind::transferring) {
        bar_ = new ProgressBar(item_.total > 0 ? item_.fraction() : 0.0, IconBadge::Tone::accent, this);
        bar_->setObjectName(QStringLiteral("progress"));
        column->addWidget(bar_);
    }
    const ThemeColor& statusColor = kind == Kind::done                               ? colors::ok
                                    : kind == Kind::declined || kind == Kind::failed ? colors::bad
                                                                                     : colors::sub;
    auto* status = new QHBoxLayout;
    status->setSpacing(4);
    QString symbol;
    switch (kind) {
    case Kind::connecting:
    case Kind::awaitingAccept: symbol = QStringLiteral("clock"); break;
    case Kind::done: symbol = QStringLiteral("checkmark.circle.fill"); break;
    case Kind::declined: symbol = QStringLiteral("xmark.circle.fill"); break;
    case Kind::failed: symbol = QStringLiteral("exclamationmark.triangle.fill"); break;
    case Kind::transferring: break;
    }
    if (!symbol.isEmpty()) {
        auto* glyph = new SymbolView(symbol, statusColor, QFontMetrics(fonts::captionMedium()).height(), this);
        glyph->setObjectName(QStringLiteral("stateSymbol"));
        status->addWidget(glyph, 0, Qt::AlignTop);
    }
    status_ = new LineLimitedLabel(transferStatusText(item_), 3, fonts::caption(), statusColor, this);
    status_->setObjectName(QStringLiteral("status"));
    status_->installEventFilter(this);
    status->addWidget(status_, 1);
    column->addLayout(status);
    row->addLayout(column, 1);

    const Uuid id = item_.id;
    auto* cancel = item_.state.isActive()
                       ? new ThemedButton(QStringLiteral("Cancel"), ThemedButton::Kind::plain, false, true, this)
                       : nullptr;
    if (cancel) connect(cancel, &QPushButton::clicked, this, [this, id] { model_.cancelTransfer(id); });
    if (item_.needsPeerCheck) {
        // The code to compare needs the row's whole width: the two buttons go under it.
        auto* buttons = new QHBoxLayout;
        buttons->setSpacing(8);
        auto* match = new ThemedButton(QStringLiteral("Codes match"), ThemedButton::Kind::tinted, false, true, this);
        question_ = match;
        connect(match, &QPushButton::clicked, this, [this, id] { model_.answerPeerCheck(id, true); });
        buttons->addWidget(match);
        if (cancel) buttons->addWidget(cancel);
        buttons->addStretch(1);
        column->addLayout(buttons);
        return;
    }
    row->addSpacing(8);
    if (cancel) {
        row->addWidget(cancel, 0, Qt::AlignTop);
    } else if ((kind == Kind::done || kind == Kind::failed) && !item_.savedURLs.empty()) {
        // A receive that failed part-way still shows the files it kept.
        auto* show = new ThemedButton(QStringLiteral("Show"), ThemedButton::Kind::tinted, false, true, this);
        connect(show, &QPushButton::clicked, this, &TransferRow::reveal);
        row->addWidget(show, 0, Qt::AlignTop);
    }
}

bool TransferRow::fits(const TransferItem& item) const {
    return item.id == item_.id && item.direction == item_.direction && item.state.kind() == item_.state.kind() &&
           item.needsPeerCheck == item_.needsPeerCheck && item.savedURLs.empty() == item_.savedURLs.empty();
}

bool TransferRow::shows(const TransferItem& item) const {
    return fits(item) && item.peer == item_.peer && item.summary == item_.summary && item.code == item_.code &&
           item.done == item_.done && item.total == item_.total && item.state == item_.state &&
           item.savedURLs == item_.savedURLs;
}

void TransferRow::setItem(TransferItem item) {
    item_ = std::move(item);
    if (summary_->fullText() != q(item_.summary)) summary_->setFullText(q(item_.summary));
    showStatus();
    if (bar_) bar_->setValue(item_.total > 0 ? item_.fraction() : 0.0);
}

bool TransferRow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == status_ && event->type() == QEvent::Resize) showStatus();
    return false;
}

void TransferRow::showStatus() {
    // A long phone name gives way in its middle, so the sizes and the code after it stay in view.
    const QString peer = LineLimitedLabel::breaksAsSpaces(q(item_.peer));
    const QString whole = statusText(item_, peer);
    const int width = status_->contentsRect().width();
    QString shown = whole;
    if (width > 0 && item_.state.kind() != Kind::failed && !status_->fits(whole, width)) {
        const QFontMetrics metrics(status_->font());
        for (int room = width; room > 0; room -= std::max(width / 4, 1)) {
            shown = statusText(item_, metrics.elidedText(peer, Qt::ElideMiddle, room));
            if (status_->fits(shown, width)) break;
        }
    }
    if (status_->text() != shown) status_->setText(shown);
    status_->setAccessibleName(shown == whole ? QString() : whole);
    status_->setToolTip(shown == whole ? QString() : plainToolTip(whole, status_));
}

bool updateTransferRows(const QList<QPointer<TransferRow>>& rows, const std::vector<TransferItem>& items) {
    if (static_cast<std::size_t>(rows.size()) != items.size()) return false;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!rows[i] || !rows[i]->fits(items[i])) return false;
    for (std::size_t i = 0; i < items.size(); ++i) rows[i]->setItem(items[i]);
    return true;
}

QWidget* makeTransferCard(AppModel& model, const std::vector<TransferItem>& items, const QString& name,
                          QList<QPointer<TransferRow>>& rows, QWidget* parent) {
    auto* card = new Card(false, parent);
    card->setObjectName(name);
    auto* list = new QVBoxLayout(card);
    list->setContentsMargins(0, 0, 0, 0);
    list->setSpacing(0);
    for (const TransferItem& item : items) {
        if (&item != &items.front()) list->addWidget(makeDivider(card));
        rows.append(new TransferRow(model, item, card));
        list->addWidget(rows.back());
    }
    return card;
}

void TransferRow::reveal() { revealInFileManager(item_.savedURLs.front()); }

void revealInFileManager(const std::filesystem::path& file) {
    // Everything but unreserved characters and "/" percent-encoded, so no comma splits the array.
    const QByteArray url = "file://" + QUrl::toPercentEncoding(QString::fromStdString(file.string()), "/");
    // The file manager's own "show this item"; its folder when no file manager answers.
    const QStringList arguments{QStringLiteral("--session"),
                                QStringLiteral("--dest=org.freedesktop.FileManager1"),
                                QStringLiteral("--type=method_call"),
                                QStringLiteral("/org/freedesktop/FileManager1"),
                                QStringLiteral("org.freedesktop.FileManager1.ShowItems"),
                                QStringLiteral("array:string:") + QString::fromLatin1(url),
                                QStringLiteral("string:")};
    const QString folder = QString::fromStdString(file.parent_path().string());
    auto* call = new QProcess;
    QObject::connect(call, &QProcess::finished, call, [call, folder](int code, QProcess::ExitStatus status) {
        if (status != QProcess::NormalExit || code != 0) QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
        call->deleteLater();
    });
    QObject::connect(call, &QProcess::errorOccurred, call, [call, folder](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
            call->deleteLater();
        }
    });
    call->start(QStringLiteral("dbus-send"), arguments);
}

}  // namespace velmo
