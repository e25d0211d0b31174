#include "velmo/ui/NetworkHint.h"

#include "velmo/ui/Components.h"

#include <QEvent>
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
    if (hint) hint->deleteLater();
    hint = nullptr;
}

void NetworkHint::setVisible(bool visible) {
    placed_ = visible;
    QWidget::setVisible(visible && shown_);
    startIfOnScreen();
}

bool NetworkHint::event(QEvent* event) {
    if (event->type() == QEvent::ParentChange) watchHost();
    return QWidget::event(event);
}

bool NetworkHint::eventFilter(QObject* watched, QEvent* event) {
    if (watched == host_ && event->type() == QEvent::Show) startIfOnScreen();
    return false;
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
}

}  // namespace velmo
