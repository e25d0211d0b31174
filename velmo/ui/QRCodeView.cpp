#include "velmo/ui/QRCodeView.h"

#include "velmo/ui/Theme.h"

#include <QPainter>
#include <QPainterPath>
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
    if (matrix_) setFixedSize(232, 232);
    else setFixedSize(0, 0);
}

QSize QRCodeView::sizeHint() const { return matrix_ ? QSize(232, 232) : QSize(0, 0); }

void QRCodeView::paintEvent(QPaintEvent*) {
    if (!matrix_) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF tile = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(tile, 12, 12);
    painter.fillPath(shape, QColor(colors::qrBackground));
    // Hard module edges: whole rectangles, no smoothing.
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QRectF code(16, 16, 200, 200);
    const double module = code.width() / matrix_->width;
    QPainterPath modules;
    for (int y = 0; y < matrix_->width; ++y)
        for (int x = 0; x < matrix_->width; ++x)
            if (matrix_->at(x, y))
                modules.addRect(QRectF(code.left() + x * module, code.top() + y * module, module, module));
    modules.setFillRule(Qt::WindingFill);
    painter.fillPath(modules, Qt::black);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.strokePath(shape, QPen(colors::line.now(), 1));
}

}  // namespace velmo
