#include "velmo/ui/QRCodeView.h"

#include "velmo/ui/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <qrencode.h>

namespace velmo {

std::optional<QRMatrix> encodeQR(const QString& payload) {
    const QByteArray bytes = payload.toUtf8();
    QRcode* code = QRcode_encodeData(bytes.size(), reinterpret_cast<const unsigned char*>(bytes.constData()), 0,
                                     QR_ECLEVEL_M);
    if (!code) return std::nullopt;
    QRMatrix matrix;
    matrix.width = code->width;
    matrix.dark.resize(static_cast<std::size_t>(code->width) * static_cast<std::size_t>(code->width));
    for (std::size_t i = 0; i < matrix.dark.size(); ++i) matrix.dark[i] = (code->data[i] & 1) != 0;
    QRcode_free(code);
    return matrix;
}

QRCodeView::QRCodeView(QString payload, QWidget* parent)
    : QWidget(parent), payload_(std::move(payload)), matrix_(encodeQR(payload_)) {
    setAccessibleName(QStringLiteral("QR code"));
    if (matrix_) setFixedSize(side_, side_);
    else setFixedSize(0, 0);
}

QSize QRCodeView::sizeHint() const { return matrix_ ? QSize(side_, side_) : QSize(0, 0); }

void QRCodeView::setSide(int side) {
    if (!matrix_ || side == side_) return;
    side_ = side;
    setFixedSize(side_, side_);
    update();
}

void QRCodeView::paintEvent(QPaintEvent*) {
    if (!matrix_) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The border is stroked on the tile's edge, inside it.
    const qreal inset = borderWidth / 2.0;
    const QRectF tile = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    QPainterPath shape;
    shape.addRoundedRect(tile, 12, 12);
    painter.fillPath(shape, QColor(colors::qrBackground));
    // Hard module edges: whole rectangles on device pixels, no smoothing, no seams.
    painter.setRenderHint(QPainter::Antialiasing, false);
    const qreal ratio = devicePixelRatioF();
    painter.scale(1 / ratio, 1 / ratio);
    // Inside the border, four whole modules of light around the code at every size: a reader
    // needs that quiet zone to find the code. A pixel more on each side takes up the rounding of
    // module edges to whole pixels.
    const int count = matrix_->width;
    const double border = std::ceil(borderWidth * ratio) + 1;
    const double module = (side_ * ratio - 2 * border) / (count + 2 * quietModules);
    const double start = border + quietModules * module;
    const auto edge = [&](int index) { return static_cast<int>(std::lround(start + index * module)); };
    QPainterPath modules;
    for (int y = 0; y < count; ++y)
        for (int x = 0; x < count; ++x)
            if (matrix_->at(x, y))
                modules.addRect(QRectF(QPointF(edge(x), edge(y)), QPointF(edge(x + 1), edge(y + 1))));
    modules.setFillRule(Qt::WindingFill);
    painter.fillPath(modules, Qt::black);
    painter.resetTransform();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.strokePath(shape, QPen(colors::line.now(), borderWidth));
}

}  // namespace velmo
