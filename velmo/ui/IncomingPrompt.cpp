#include "velmo/ui/IncomingPrompt.h"

#include "velmo/model/AppModel.h"
#include "velmo/model/ByteCountFormat.h"
#include "velmo/ui/Components.h"
#include "velmo/ui/LineLimitedLabel.h"
#include "velmo/ui/MainWindow.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/WindowFitter.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace velmo {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

class PinLabel : public QLabel {
public:
    PinLabel(const QString& pin, QWidget* parent) : QLabel(parent) {
        setTextFormat(Qt::PlainText);
        setText(pin);
        QFont font = fonts::pin();
        font.setLetterSpacing(QFont::AbsoluteSpacing, 6);
        setFont(font);
        setTextColor(this, colors::accentText);
        setContentsMargins(16, 8, 16, 8);
        QStringList characters;
        for (const QChar c : pin) characters << QString(c);
        setAccessibleName(QStringLiteral("Code ") + characters.join(QLatin1Char(' ')));
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(colors::soft));
            painter.drawRoundedRect(QRectF(rect()), 12, 12);
        }
        QLabel::paintEvent(event);
    }
};

// The prompt opens where the user looks: on the main window's screen, else the primary one.
QScreen* promptScreen() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (qobject_cast<MainWindow*>(window) && window->isVisible()) return window->screen();
    return QGuiApplication::primaryScreen();
}

}  // namespace

IncomingPromptView::IncomingPromptView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    applyWindowBackground(this);
    column_ = fittedColumn(this, 480, 24, 24, true);
    connect(&model_, &AppModel::incomingChanged, this, &IncomingPromptView::rebuild);
    rebuild();
}

void IncomingPromptView::rebuild() {
    clearLayout(column_);
    clearLayout(fittedFooter(this));
    const auto& request = model_.incoming();
    if (!request) return;
    const QuickShareOffer& offer = request->offer;

    auto* header = new QHBoxLayout;
    header->setSpacing(16);
    header->addWidget(new IconBadge(QStringLiteral("smartphone"), IconBadge::Tone::accent, 56, this));
    // The two lines sit together, centred beside the taller badge.
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    texts->addStretch(1);
    auto* who = new LineLimitedLabel(q(offer.senderName) + QStringLiteral(" wants to send you"), 2, fonts::heading(),
                                     colors::text, this);
    who->setObjectName(QStringLiteral("sender"));
    texts->addWidget(who);
    const auto count = static_cast<long long>(offer.files.size());
    auto* summary = plainLabel(QStringLiteral("%1 file%2 · %3")
                                   .arg(count)
                                   .arg(count == 1 ? QString() : QStringLiteral("s"))
                                   .arg(formatByteCount(offer.totalSize())),
                               fonts::caption(), colors::sub, this);
    summary->setObjectName(QStringLiteral("offerSummary"));
    texts->addWidget(summary);
    texts->addStretch(1);
    header->addLayout(texts, 1);
    column_->addLayout(header);

    auto* card = new Card(false, this);
    card->setObjectName(QStringLiteral("offerFiles"));
    auto* files = new QVBoxLayout(card);
    files->setContentsMargins(0, 0, 0, 0);
    files->setSpacing(0);
    for (std::size_t i = 0; i < offer.files.size() && i < 5; ++i) {
        if (i > 0) files->addWidget(makeDivider(card));
        auto* row = new FileRow(q(offer.files[i].name), offer.files[i].size, nullptr, card);
        row->setContentsMargins(12, 12, 12, 12);
        files->addWidget(row);
    }
    if (count > 5) {
        files->addWidget(makeDivider(card));
        auto* more = plainLabel(QStringLiteral("and %1 more").arg(count - 5), fonts::caption(), colors::sub, card);
        more->setObjectName(QStringLiteral("offerMore"));
        more->setContentsMargins(12, 12, 12, 12);
        files->addWidget(more);
    }
    column_->addWidget(card);

    // The code, its sentence and the answers stay in view together under a file list that
    // scrolls on a screen too short for all of it.
    auto* footer = new QVBoxLayout;
    footer->setSpacing(24);
    fittedFooter(this)->addLayout(footer);
    auto* code = new QHBoxLayout;
    code->setSpacing(16);
    auto* pin = new PinLabel(q(offer.pin), this);
    pin->setObjectName(QStringLiteral("pin"));
    code->addWidget(pin);
    auto* check = plainLabel(QStringLiteral("Check this code matches the one on your phone before you accept."),
                             fonts::caption(), colors::sub, this);
    check->setObjectName(QStringLiteral("pinSentence"));
    check->setWordWrap(true);
    code->addWidget(check, 1);
    footer->addLayout(code);

    auto* answers = new QHBoxLayout;
    answers->setSpacing(8);
    answers->addStretch(1);
    auto* decline = new ThemedButton(QStringLiteral("Decline"), ThemedButton::Kind::secondary, false, false, this);
    decline->setAutoDefault(false);
    connect(decline, &QPushButton::clicked, &model_, [this] { model_.answerIncoming(false); });
    answers->addWidget(decline);
    auto* accept = new ThemedButton(QStringLiteral("Accept"), ThemedButton::Kind::primary, false, false, this);
    accept->setObjectName(QStringLiteral("accept"));
    accept->setDefault(true);
    connect(accept, &QPushButton::clicked, &model_, [this] { model_.answerIncoming(true); });
    answers->addWidget(accept);
    footer->addLayout(answers);
    fitToContent(this);
}

IncomingPromptPanel::IncomingPromptPanel(AppModel& model)
    : QDialog(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("Incoming files"));
    applyWindowBackground(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    view_ = new IncomingPromptView(model, this);
    layout->addWidget(view_);
}

void IncomingPromptPanel::closeEvent(QCloseEvent* event) {
    // Only the model closes the panel (by answering or by the time-out).
    event->ignore();
}

void IncomingPromptPresenter::present(AppModel& model) {
    dismiss();
    auto* panel = new IncomingPromptPanel(model);
    panel->setAttribute(Qt::WA_DeleteOnClose, false);
    panel_ = panel;
    openCentred(panel, panel->view(), promptScreen());
    panel->show();
    panel->raise();
    panel->activateWindow();
}

void IncomingPromptPresenter::dismiss() {
    if (!panel_) return;
    panel_->hide();
    panel_->deleteLater();
    panel_ = nullptr;
}

}  // namespace velmo
