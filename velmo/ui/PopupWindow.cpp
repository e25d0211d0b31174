#include "velmo/ui/PopupWindow.h"

#include "velmo/ui/Theme.h"

#include <QKeyEvent>
#include <QPainter>

namespace velmo {

PopupWindow::PopupWindow(QWidget* parent, bool underFloating)
    : QWidget(parent, underFloating ? Qt::Tool | Qt::FramelessWindowHint : Qt::Popup) {
    applyWindowBackground(this);
}

void PopupWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QPen(QColor(colors::line), edge));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

bool PopupWindow::event(QEvent* event) {
    if (windowType() != Qt::Popup) {
        if (event->type() == QEvent::WindowDeactivate && isVisible()) close();
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Cancel)) {
            close();
            return true;
        }
    }
    return QWidget::event(event);
}

}  // namespace velmo
