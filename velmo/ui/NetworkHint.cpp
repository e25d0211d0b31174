#include "velmo/ui/NetworkHint.h"

#include "velmo/ui/Components.h"

#include <QVBoxLayout>

namespace velmo {

NetworkHint::NetworkHint(std::chrono::milliseconds delay, QWidget* parent) : QWidget(parent), delay_(delay) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    setFixedHeight(0);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &NetworkHint::reveal);
}

QString NetworkHint::text() {
    return QStringLiteral(
        "Scanned but nothing arrives? This Wi-Fi may block devices from talking to each other (guest networks do). "
        "Join the main Wi-Fi.");
}

void NetworkHint::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shown_ && !timer_.isActive()) timer_.start(delay_);
}

void NetworkHint::reveal() {
    if (shown_) return;
    shown_ = true;
    auto* banner = new Banner(QStringLiteral("wifi.exclamationmark"), text(), Banner::Tone::warning, this);
    banner->setObjectName(QStringLiteral("networkHintBanner"));
    layout()->addWidget(banner);
    setMinimumHeight(0);
    setMaximumHeight(QWIDGETSIZE_MAX);
    updateGeometry();
}

}  // namespace velmo
