#include "velmo/ui/ProgressBar.h"

#include <QPainter>
#include <QVariantAnimation>
#include <algorithm>

#include "velmo/ui/Theme.h"

namespace velmo {

ProgressBar::ProgressBar(double value, IconBadge::Tone tone, QWidget* parent)
    : QWidget(parent), value_(value), tone_(tone), ease_(progressAnimation(this)), from_(value) {
    connect(ease_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    setFixedHeight(6);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("Progress"));
    setAccessibleDescription(QStringLiteral("%1 percent").arg(percent()));
}

void ProgressBar::setValue(double value) {
    if (value == value_) return;
    // Ease on from what is drawn now.
    from_ = shownValue();
    value_ = value;
    ease_->stop();
    ease_->start();
    setAccessibleDescription(QStringLiteral("%1 percent").arg(percent()));
    update();
}

namespace {
double clamped(double value) { return value > 1 ? 1.0 : value > 0 ? value : 0.0; }
}  // namespace

double ProgressBar::shownValue() const {
    if (ease_->state() != QAbstractAnimation::Running) return clamped(value_);
    const double t = ease_->currentValue().toDouble();
    return clamped(from_) + (clamped(value_) - clamped(from_)) * t;
}

double ProgressBar::fillWidth(double width) const { return std::max(6.0, width * clamped(value_)); }

int ProgressBar::percent() const { return static_cast<int>(clamped(value_) * 100); }

void ProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track(rect());
    painter.setBrush(QColor(colors::fill));
    painter.drawRoundedRect(track, 3, 3);
    painter.setBrush(tone_ == IconBadge::Tone::success ? QColor(colors::ok) : QColor(colors::accent));
    painter.drawRoundedRect(QRectF(0, 0, std::max(6.0, track.width() * shownValue()), track.height()), 3, 3);
}

}  // namespace velmo
