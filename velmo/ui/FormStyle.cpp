#include "velmo/ui/FormStyle.h"

#include "velmo/ui/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOption>

namespace velmo {

FormStyle::FormStyle() : QProxyStyle() {}

void FormStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                              const QWidget* widget) const {
    const bool focused = option->state & State_HasFocus;
    const bool enabled = option->state & State_Enabled;
    switch (element) {
    case PE_FrameLineEdit: {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        QPainterPath frame;
        frame.addRoundedRect(QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        painter->strokePath(frame, QPen(focused ? QColor(colors::accent) : QColor(colors::line), 1));
        painter->restore();
        return;
    }
    case PE_IndicatorCheckBox: {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        if (!enabled) painter->setOpacity(0.45);
        const bool on = option->state & State_On;
        const bool partly = option->state & State_NoChange;
        QPainterPath box;
        box.addRoundedRect(QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
        painter->fillPath(box, on || partly ? QColor(colors::accent) : QColor(colors::card));
        painter->strokePath(box, QPen(on || partly || focused ? QColor(colors::accent) : QColor(colors::line), 1));
        const QRectF r = QRectF(option->rect).adjusted(3, 3, -3, -3);
        QPen mark(QColor(colors::onAccent), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter->setPen(mark);
        if (on) {
            QPainterPath tick;
            tick.moveTo(r.left(), r.center().y());
            tick.lineTo(r.left() + r.width() * 0.38, r.bottom() - r.height() * 0.1);
            tick.lineTo(r.right(), r.top() + r.height() * 0.1);
            painter->drawPath(tick);
        } else if (partly) {
            painter->drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
        }
        painter->restore();
        return;
    }
    case PE_FrameFocusRect: {
        // The styles' own ring is a pale tint of the highlight that barely shows on either
        // window; the keyboard's place needs a line that stands out (3:1) light and dark.
        if (!(option->state & State_KeyboardFocusChange)) return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        QPainterPath ring;
        ring.addRoundedRect(QRectF(option->rect).adjusted(1, 1, -1, -1), 3, 3);
        painter->strokePath(ring, QPen(QColor(colors::accentText), 2));
        painter->restore();
        return;
    }
    default: QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
}

}  // namespace velmo
