#include "velmo/ui/CapsuleLabel.h"

#include "velmo/ui/Theme.h"

#include <QPainter>

namespace velmo {

CapsuleLabel::CapsuleLabel(const QString& text, const QFont& font, QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setText(text);
    setFont(font);
    setTextColor(this, colors::accentText);
    setAlignment(Qt::AlignCenter);
}

void CapsuleLabel::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(colors::soft));
        const double radius = std::min(width(), height()) / 2.0;
        painter.drawRoundedRect(QRectF(rect()), radius, radius);
    }
    QLabel::paintEvent(event);
}

}  // namespace velmo
