#include "velmo/ui/ScrollBarStyle.h"

#include "velmo/ui/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionSlider>
#include <algorithm>

namespace velmo {

ScrollBarStyle::ScrollBarStyle() : QProxyStyle() {}

QRect ScrollBarStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                                     const QWidget* widget) const {
    const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (control != CC_ScrollBar || !bar) return QProxyStyle::subControlRect(control, option, part, widget);
    const QRect area = bar->rect;
    const bool horizontal = bar->orientation == Qt::Horizontal;
    const int length = horizontal ? area.width() : area.height();
    const qint64 range = qint64(bar->maximum) - bar->minimum;
    int handle = length;
    if (range > 0) {
        handle = static_cast<int>(qint64(length) * bar->pageStep / (range + bar->pageStep));
        handle = std::clamp(handle, std::min(pixelMetric(PM_ScrollBarSliderMin, option, widget), length), length);
    }
    const int start = sliderPositionFromValue(bar->minimum, bar->maximum, bar->sliderPosition, length - handle,
                                              bar->upsideDown);
    const auto along = [&](int from, int size) {
        return horizontal ? QRect(area.left() + from, area.top(), size, area.height())
                          : QRect(area.left(), area.top() + from, area.width(), size);
    };
    QRect rect;
    switch (part) {
    case SC_ScrollBarGroove: rect = area; break;
    case SC_ScrollBarSlider: rect = along(start, handle); break;
    case SC_ScrollBarSubPage: rect = along(0, start); break;
    case SC_ScrollBarAddPage: rect = along(start + handle, length - start - handle); break;
    default: return {};
    }
    return visualRect(bar->direction, area, rect);
}

void ScrollBarStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                                        const QWidget* widget) const {
    const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (control != CC_ScrollBar || !bar) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    painter->save();
    painter->fillRect(bar->rect, QColor(colors::fill));
    if (bar->maximum > bar->minimum && (bar->subControls & SC_ScrollBarSlider)) {
        // A capsule inset from the track's edges, darker under the pointer and while dragged.
        const bool horizontal = bar->orientation == Qt::Horizontal;
        const QRectF handle = QRectF(subControlRect(control, option, SC_ScrollBarSlider, widget))
                                  .adjusted(horizontal ? 2 : 3, horizontal ? 3 : 2, horizontal ? -2 : -3, horizontal ? -3 : -2);
        const bool active = (bar->activeSubControls & SC_ScrollBarSlider) && (bar->state & (State_MouseOver | State_Sunken));
        const qreal radius = std::min(handle.width(), handle.height()) / 2;
        QPainterPath capsule;
        capsule.addRoundedRect(handle, radius, radius);
        painter->setRenderHint(QPainter::Antialiasing);
        painter->fillPath(capsule, active ? QColor(colors::sub) : QColor(colors::faint));
    }
    painter->restore();
}

}  // namespace velmo
