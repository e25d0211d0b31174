#include "velmo/ui/NetworkHint.h"

#include "velmo/ui/Components.h"

#include <QApplication>
#include <QEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace velmo {

NetworkHint::NetworkHint(std::chrono::milliseconds delay, QWidget* parent) : QWidget(parent), delay_(delay) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    setFixedHeight(0);
    QWidget::setVisible(false);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &NetworkHint::reveal);
    watchHost();
}

QString NetworkHint::text() {
    return QStringLiteral(
        "Scanned but nothing arrives? This Wi-Fi may block devices from talking to each other (guest networks do). "
        "Join the main Wi-Fi.");
}

void NetworkHint::place(NetworkHint*& hint, QVBoxLayout* column, QWidget* host, std::chrono::milliseconds delay) {
    if (!hint) hint = new NetworkHint(delay);
    hint->setParent(host);
    column->addWidget(hint);
    hint->show();
}

void NetworkHint::drop(NetworkHint*& hint) {
    if (hint) {
        // Gone at once: moved by the rows that take its place, it would scroll its column to itself.
        hint->following_ = nullptr;
        hint->setVisible(false);
        hint->deleteLater();
    }
    hint = nullptr;
}

void NetworkHint::setVisible(bool visible) {
    placed_ = visible;
    QWidget::setVisible(visible && shown_);
    startIfOnScreen();
}

bool NetworkHint::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::ParentChange: watchHost(); break;
    case QEvent::Move:
    case QEvent::Resize: bringIntoView(); break;
    default: break;
    }
    return QWidget::event(event);
}

bool NetworkHint::eventFilter(QObject* watched, QEvent* event) {
    if (watched == host_ && event->type() == QEvent::Show) startIfOnScreen();
    if (following_ && watched == following_->viewport() && event->type() == QEvent::Resize) bringIntoView();
    return false;
}

QScrollArea* NetworkHint::enclosingScroll() const {
    for (QWidget* outer = parentWidget(); outer; outer = outer->parentWidget())
        if (auto* scroll = qobject_cast<QScrollArea*>(outer); scroll && scroll->widget() && scroll->widget()->isAncestorOf(this))
            return scroll;
    return nullptr;
}

void NetworkHint::followInto(QScrollArea* scroll) {
    following_ = scroll;
    scroll->viewport()->installEventFilter(this);
    // The window grows and the column settles in steps after the banner appears: the hint is
    // brought back into view after each, until the user takes over the scrolling.
    const auto stop = [this, scroll] {
        if (following_ == scroll) scroll->viewport()->removeEventFilter(this);
        following_ = nullptr;
    };
    QScrollBar* bar = scroll->verticalScrollBar();
    connect(bar, &QAbstractSlider::actionTriggered, this, stop, Qt::SingleShotConnection);
    connect(bar, &QAbstractSlider::sliderPressed, this, stop, Qt::SingleShotConnection);
    connect(qApp, &QApplication::focusChanged, this, stop, Qt::SingleShotConnection);
}

void NetworkHint::bringIntoView() {
    if (!following_) return;
    // Once the current round of layout has placed the hint.
    runOnceLater(this, bringing_, [this] {
        if (following_ && isVisible() && height() > 0) following_->ensureWidgetVisible(this, 0, 0);
    });
}

void NetworkHint::watchHost() {
    if (host_) host_->removeEventFilter(this);
    host_ = parentWidget();
    if (host_) host_->installEventFilter(this);
    startIfOnScreen();
}

void NetworkHint::startIfOnScreen() {
    if (!shown_ && placed_ && host_ && host_->isVisible() && !timer_.isActive()) timer_.start(delay_);
}

void NetworkHint::reveal() {
    if (shown_) return;
    shown_ = true;
    auto* banner = new Banner(QStringLiteral("wifi.exclamationmark"), text(), Banner::Tone::warning, this);
    banner->setObjectName(QStringLiteral("networkHintBanner"));
    layout()->addWidget(banner);
    setMinimumHeight(0);
    setMaximumHeight(QWIDGETSIZE_MAX);
    QWidget::setVisible(placed_);
    updateGeometry();
    if (QScrollArea* scroll = enclosingScroll()) {
        followInto(scroll);
        bringIntoView();
    }
}

}  // namespace velmo
