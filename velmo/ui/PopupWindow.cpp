#include "velmo/ui/PopupWindow.h"

#include "velmo/ui/Theme.h"

#include <QPainter>

namespace velmo {

PopupWindow::PopupWindow(QWidget* parent) : QWidget(parent, Qt::Popup) { applyWindowBackground(this); }

void PopupWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QPen(QColor(colors::line), edge));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

}  // namespace velmo
