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
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

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

// The sender's name and " wants to send you" on at most two lines: a name too long for them
// gives way at its end, and the words after it stay. The name is isolated, so a right-to-left
// one neither moves the words nor turns the sentence's direction.
class SenderLabel : public LineLimitedLabel {
public:
    SenderLabel(const QString& name, QWidget* parent)
        : LineLimitedLabel(isolated(name) + verb(), 2, fonts::heading(), colors::text, parent),
          name_(breaksAsSpaces(name)) {
        setAccessibleName(isolated(name) + verb());
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        const QString shown = fitted(contentsRect().width());
        if (shown != text()) setText(shown);
        LineLimitedLabel::resizeEvent(event);
    }

private:
    static QString verb() { return QStringLiteral(" wants to send you"); }

    QString fitted(int width) const {
        width = std::max(width, 1);
        if (fits(isolated(name_) + verb(), width)) return isolated(name_) + verb();
        // The widest cut of the name that leaves room for the verb.
        const QFontMetrics metrics(font());
        const auto cut = [&](int room) { return isolated(metrics.elidedText(name_, Qt::ElideRight, room)) + verb(); };
        int least = 0, most = metrics.horizontalAdvance(name_);
        while (least < most) {
            const int middle = (least + most + 1) / 2;
            if (fits(cut(middle), width))
                least = middle;
            else
                most = middle - 1;
        }
        return cut(least);
    }

    QString name_;
};

// A popup holds the keyboard and the mouse while it is open: keys meant for the prompt would
// reach a setting or a menu button under it, and the first click only closes the popup.
void closePopups() {
    QWidget* last = nullptr;
    while (QWidget* popup = QApplication::activePopupWidget()) {
        if (popup == last) break;  // one that will not close
        last = popup;
        popup->close();
    }
}

bool isAnswerInput(const QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease: return true;
    default: return false;
    }
}

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

void IncomingPromptView::setAnswersEnabled(bool enabled) {
    answersEnabled_ = enabled;
    for (QWidget* answer : answers_)
        if (answer) answer->setEnabled(enabled);
    // A dialog puts its first focus on its default button, Accept, which could take none while
    // disabled: without it, the window's activation would give it to Decline, and Return with it.
    if (enabled && !window()->focusWidget() && !answers_.isEmpty() && answers_.back()) answers_.back()->setFocus();
}

void IncomingPromptView::rebuild() {
    clearLayout(column_);
    clearLayout(fittedFooter(this));
    answers_.clear();
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
    auto* who = new SenderLabel(q(offer.senderName), this);
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
    decline->setObjectName(QStringLiteral("decline"));
    decline->setAutoDefault(false);
    connect(decline, &QPushButton::clicked, &model_, [this] { model_.answerIncoming(false); });
    answers->addWidget(decline);
    auto* accept = new ThemedButton(QStringLiteral("Accept"), ThemedButton::Kind::primary, false, false, this);
    accept->setObjectName(QStringLiteral("accept"));
    accept->setDefault(true);
    connect(accept, &QPushButton::clicked, &model_, [this] { model_.answerIncoming(true); });
    answers->addWidget(accept);
    footer->addLayout(answers);
    answers_ = {decline, accept};
    setAnswersEnabled(answersEnabled_);
    fitToContent(this);
}

IncomingPromptPanel::IncomingPromptPanel(AppModel& model, std::chrono::milliseconds answerDelay)
    : QDialog(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      answerDelay_(answerDelay) {
    setWindowTitle(QStringLiteral("Incoming files"));
    applyWindowBackground(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    view_ = new IncomingPromptView(model, this);
    layout->addWidget(view_);
    delayOver_ = new QTimer(this);
    delayOver_->setSingleShot(true);
    delayOver_->setTimerType(Qt::PreciseTimer);
    connect(delayOver_, &QTimer::timeout, this, [this] {
        // A timer may fire a little early: the rest of the delay, then.
        if (takesAnswers()) view_->setAnswersEnabled(true);
        else delayOver_->start(std::max<qint64>(answerDelay_.count() - onScreen_.elapsed(), 1));
    });
    restartDelay(false);
    // Sees every key and click, and the panel's own window reaching the screen.
    qApp->installEventFilter(this);
}

void IncomingPromptPanel::closeEvent(QCloseEvent* event) {
    // Only the model closes the panel (by answering or by the time-out).
    event->ignore();
}

void IncomingPromptPanel::changeEvent(QEvent* event) {
    // The panel has no minimise button, but a desktop may still iconify it; nothing in Velmo
    // would bring it back before the offer times out.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
        QTimer::singleShot(0, this, [this] {
            setWindowState(windowState() & ~Qt::WindowMinimized);
            show();
            raise();
        });
    QDialog::changeEvent(event);
}

bool IncomingPromptPanel::takesAnswers() const {
    return answerDelay_.count() <= 0 || (onScreen_.isValid() && onScreen_.elapsed() >= answerDelay_.count());
}

bool IncomingPromptPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Expose && watched == windowHandle()) {
        // Counted from each time the panel reaches the screen, so also after it was hidden.
        // (Some platforms still call a window exposed as it is being hidden.)
        if (!windowHandle()->isExposed() || !isVisible()) restartDelay(false);
        else if (!onScreen_.isValid()) restartDelay(true);
        return false;
    }
    if (!isAnswerInput(event) || !watched->isWidgetType() || static_cast<QWidget*>(watched)->window() != this)
        return false;
    if (!takesAnswers()) return true;
    // The delay may be over before its timer has run.
    view_->setAnswersEnabled(true);
    return false;
}

void IncomingPromptPanel::restartDelay(bool onScreen) {
    if (onScreen) onScreen_.start();
    else onScreen_.invalidate();
    view_->setAnswersEnabled(takesAnswers());
    if (onScreen && !takesAnswers()) delayOver_->start(answerDelay_);
    else delayOver_->stop();
}

void IncomingPromptPresenter::present(AppModel& model) {
    dismiss();
    closePopups();
    auto* panel = new IncomingPromptPanel(model, answerDelay_);
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
