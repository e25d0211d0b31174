#include "velmo/ui/IconBadge.h"

#include <QPainter>
#include <cmath>

#include "velmo/ui/Symbols.h"
#include "velmo/ui/Theme.h"

namespace velmo {

namespace {

QColor toneSymbolColor(IconBadge::Tone tone) {
    switch (tone) {
    case IconBadge::Tone::accent: return colors::accentText;
    case IconBadge::Tone::file: return colors::warn;
    case IconBadge::Tone::success: return colors::ok;
    case IconBadge::Tone::danger: return colors::bad;
    case IconBadge::Tone::neutral: return colors::sub;
    }
    return colors::sub;
}

QColor toneTint(IconBadge::Tone tone) {
    switch (tone) {
    case IconBadge::Tone::accent: return colors::soft;
    case IconBadge::Tone::file: return colors::warnSoft;
    case IconBadge::Tone::success: return colors::okSoft;
    case IconBadge::Tone::danger: return colors::badSoft;
    case IconBadge::Tone::neutral: return colors::fill;
    }
    return colors::fill;
}

}  // namespace

IconBadge::IconBadge(QString symbol, Tone tone, double size, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), tone_(tone), size_(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
}

QSize IconBadge::sizeHint() const {
    const int side = static_cast<int>(std::ceil(size_));
    return {side, side};
}

void IconBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(toneTint(tone_));
    painter.drawEllipse(QRectF(rect()));
    const int glyph = symbolPixels(size_ > 36 ? fonts::badgeLarge() : fonts::callout());
    const QPointF centre = QRectF(rect()).center();
    paintSymbol(painter, QRectF(centre.x() - glyph / 2.0, centre.y() - glyph / 2.0, glyph, glyph), symbol_,
                toneSymbolColor(tone_));
}

}  // namespace velmo
