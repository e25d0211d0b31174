#include "velmo/ui/VelmoTile.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "velmo/ui/Theme.h"
#include "velmo/ui/VelmoMark.h"

namespace velmo {

VelmoTile::VelmoTile(double size, QWidget* parent) : QWidget(parent), size_(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
}

QSize VelmoTile::sizeHint() const {
    const int side = static_cast<int>(std::ceil(size_));
    return {side, side};
}

void VelmoTile::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double unit = size_ / 1024.0;
    const QPointF centre = QRectF(rect()).center();
    const double tile = 824 * unit;
    const QRectF tileBox(centre.x() - tile / 2, centre.y() - tile / 2, tile, tile);
    QLinearGradient gradient(tileBox.topLeft(), tileBox.bottomLeft());
    gradient.setColorAt(0, colors::tileTop);
    gradient.setColorAt(1, colors::tileBottom);
    QPainterPath shape;
    shape.addRoundedRect(tileBox, 185 * unit, 185 * unit);
    painter.fillPath(shape, gradient);
    const double mark = 660 * unit;
    VelmoMark::paint(painter, QRectF(centre.x() - mark / 2, centre.y() - mark / 2, mark, mark), false, true);
}

}  // namespace velmo
