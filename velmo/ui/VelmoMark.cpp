#include "velmo/ui/VelmoMark.h"

#include "velmo/ui/Theme.h"

#include <QImage>
#include <QPainter>
#include <QPainterPathStroker>
#include <QPixmap>
#include <QTransform>
#include <cmath>
#include <vector>

namespace velmo {

namespace {

enum class Role { paper, fold, eye, motion };

struct Part {
    QPainterPath path;
    Role role;
    double opacity = 1.0;
};

QPainterPath polygon(std::initializer_list<QPointF> points) {
    QPainterPath path;
    path.addPolygon(QPolygonF(QList<QPointF>(points)));
    path.closeSubpath();
    return path;
}

QPainterPath rotated(const QPainterPath& path, double radians, QPointF about) {
    QTransform transform;
    transform.translate(about.x(), about.y());
    transform.rotateRadians(radians);
    transform.translate(-about.x(), -about.y());
    return transform.map(path);
}

QPainterPath sheetOutline(QRectF box) {
    const double l = box.left(), t = box.top(), r = box.right(), b = box.bottom(), w = box.width();
    const double f = 0.34 * w, c = 0.12 * w;
    QPainterPath path;
    path.moveTo(l + c, t);
    path.lineTo(r - f, t);
    path.lineTo(r, t + f);
    path.lineTo(r, b - c);
    path.quadTo(r, b, r - c, b);
    path.lineTo(l + c, b);
    path.quadTo(l, b, l, b - c);
    path.lineTo(l, t + c);
    path.quadTo(l, t, l + c, t);
    path.closeSubpath();
    return path;
}

std::vector<Part> parts(bool showMotion) {
    std::vector<Part> result;
    result.push_back({polygon({{300, 545}, {118, 498}, {168, 585}, {112, 668}, {312, 640}}), Role::paper});
    QPainterPath body;
    body.addEllipse(QRectF(255, 435, 430, 250));
    result.push_back({rotated(body, -M_PI / 12, {470, 560}), Role::paper});
    QPainterPath wing;
    wing.moveTo(340, 640);
    wing.quadTo(150, 420, 268, 150);
    wing.quadTo(545, 220, 630, 500);
    wing.closeSubpath();
    result.push_back({wing, Role::paper});
    QPainterPath fold;
    fold.moveTo(410, 520);
    fold.quadTo(290, 330, 290, 205);
    fold.quadTo(410, 300, 470, 488);
    fold.closeSubpath();
    result.push_back({fold, Role::fold});
    QPainterPath head;
    head.addEllipse(QRectF(585, 335, 190, 190));
    result.push_back({head, Role::paper});
    result.push_back({polygon({{758, 404}, {842, 436}, {756, 468}}), Role::paper});
    QPainterPath eye;
    eye.addEllipse(QRectF(690, 392, 36, 36));
    result.push_back({eye, Role::eye});
    const QRectF sheet(770, 448, 132, 168);
    const double f = 0.34 * sheet.width();
    result.push_back({rotated(sheetOutline(sheet), M_PI / 15, {836, 448}), Role::paper});
    result.push_back({rotated(polygon({{sheet.right() - f, sheet.top()},
                                       {sheet.right() - f, sheet.top() + f},
                                       {sheet.right(), sheet.top() + f}}),
                              M_PI / 15, {836, 448}),
                      Role::fold});
    if (showMotion) {
        struct Line {
            double x, y, length, opacity;
        };
        for (const Line& line : {Line{-40, 470, 110, 0.7}, Line{-90, 590, 150, 0.5}, Line{-40, 710, 110, 0.3}}) {
            QPainterPath segment;
            segment.moveTo(line.x, line.y);
            segment.lineTo(line.x + line.length, line.y);
            QPainterPathStroker stroker;
            stroker.setWidth(26);
            stroker.setCapStyle(Qt::RoundCap);
            stroker.setJoinStyle(Qt::MiterJoin);
            stroker.setMiterLimit(10);
            result.push_back({stroker.createStroke(segment), Role::motion, line.opacity});
        }
    }
    return result;
}

}  // namespace

VelmoMark::VelmoMark(bool monochrome, bool showMotion, QWidget* parent)
    : QWidget(parent), monochrome_(monochrome), showMotion_(showMotion) {
    setAttribute(Qt::WA_TranslucentBackground);
}

QRectF VelmoMark::boundingBox(bool showMotion) {
    QRectF box;
    for (const Part& part : parts(showMotion)) box = box.united(part.path.boundingRect());
    return box;
}

void VelmoMark::paint(QPainter& painter, const QRectF& target, bool monochrome, bool showMotion) {
    const std::vector<Part> all = parts(showMotion);
    QRectF box;
    for (const Part& part : all) box = box.united(part.path.boundingRect());
    if (box.isEmpty() || target.isEmpty()) return;
    const double scale = std::min(target.width() / box.width(), target.height() / box.height());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(target.center());
    painter.scale(scale, scale);
    painter.translate(-box.center());
    painter.setPen(Qt::NoPen);
    for (const Part& part : all) {
        switch (part.role) {
        case Role::paper:
        case Role::motion:
            painter.fillPath(part.path, withOpacity(monochrome ? colors::markBlack : colors::markWhite, part.opacity));
            break;
        case Role::fold:
            if (!monochrome) painter.fillPath(part.path, withOpacity(colors::tileBottom, 0.28));
            break;
        case Role::eye:
            if (monochrome) {
                painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
                painter.fillPath(part.path, QColor(colors::markBlack));
                painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
            } else {
                painter.fillPath(part.path, QColor(colors::tileBottom));
            }
            break;
        }
    }
    painter.restore();
}

void VelmoMark::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, QRectF(rect()), monochrome_, showMotion_);
}

QImage trayImage() {
    // The one-colour mark in white over a black halo: white reads on a dark panel, the halo sets
    // it off on a light one, and the see-through eye shows the black beneath.
    const auto silhouette = [](const QColor& color) {
        QImage image(36, 36, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2.0);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        VelmoMark::paint(painter, QRectF(1, 1, 16, 16), true, false);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(QRectF(0, 0, 18, 18), color);
        return image;
    };
    const QImage halo = silhouette(colors::markBlack);
    QImage image(36, 36, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2.0);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (int step = 0; step < 16; ++step) {
        const double angle = step * M_PI / 8;
        painter.drawImage(QPointF(std::cos(angle), std::sin(angle)), halo);
    }
    painter.drawImage(QPointF(0, 0), halo);  // under the eye
    painter.drawImage(QPointF(0, 0), silhouette(colors::markWhite));
    return image;
}

QIcon trayIcon() { return QIcon(QPixmap::fromImage(trayImage())); }

}  // namespace velmo
