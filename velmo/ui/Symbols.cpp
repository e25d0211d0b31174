#include "velmo/ui/Symbols.h"

#include <QFileInfo>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "platform/ContentType.h"

namespace velmo {

namespace {

QPen strokePen(const QColor& color, double width) {
    QPen pen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    return pen;
}

// Symbols are drawn on a 24-unit grid scaled into the box.
void drawOnGrid(QPainter& p, const QString& s, const QColor& c) {
    const QPen pen = strokePen(c, 2);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const auto filledCircle = [&](QPointF centre, double r) {
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawEllipse(centre, r, r);
    };
    const auto cutout = [&](const std::function<void()>& draw) {
        // Marks inside a filled shape: drawn by clearing, so they show the background.
        p.save();
        p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        p.setPen(strokePen(Qt::black, 2.2));
        draw();
        p.restore();
    };
    if (s == "xmark") {
        p.drawLine(QPointF(6, 6), QPointF(18, 18));
        p.drawLine(QPointF(18, 6), QPointF(6, 18));
    } else if (s == "checkmark") {
        p.drawPolyline(QPolygonF({{5, 12.5}, {10, 17.5}, {19, 6.5}}));
    } else if (s == "exclamationmark") {
        p.drawLine(QPointF(12, 4), QPointF(12, 15));
        filledCircle({12, 20}, 1.5);
    } else if (s == "checkmark.circle.fill" || s == "xmark.circle.fill") {
        filledCircle({12, 12}, 10);
        cutout([&] {
            if (s == "checkmark.circle.fill")
                p.drawPolyline(QPolygonF({{7.5, 12.5}, {10.5, 15.5}, {16.5, 8.5}}));
            else {
                p.drawLine(QPointF(8.5, 8.5), QPointF(15.5, 15.5));
                p.drawLine(QPointF(15.5, 8.5), QPointF(8.5, 15.5));
            }
        });
    } else if (s == "exclamationmark.triangle.fill") {
        QPainterPath triangle;
        triangle.moveTo(12, 2.5);
        triangle.lineTo(22.5, 21);
        triangle.lineTo(1.5, 21);
        triangle.closeSubpath();
        p.setPen(strokePen(c, 1.5));
        p.setBrush(c);
        p.drawPath(triangle);
        cutout([&] {
            p.drawLine(QPointF(12, 9), QPointF(12, 14));
            p.drawPoint(QPointF(12, 17.6));
        });
    } else if (s == "clock") {
        p.drawEllipse(QPointF(12, 12), 9, 9);
        p.drawPolyline(QPolygonF({{12, 7}, {12, 12}, {15.5, 14}}));
    } else if (s == "arrow.up" || s == "arrow.down") {
        const bool up = s == "arrow.up";
        p.drawLine(QPointF(12, 4), QPointF(12, 20));
        if (up) p.drawPolyline(QPolygonF({{6, 10}, {12, 4}, {18, 10}}));
        else p.drawPolyline(QPolygonF({{6, 14}, {12, 20}, {18, 14}}));
    } else if (s == "smartphone") {
        p.drawRoundedRect(QRectF(7, 2.5, 10, 19), 2.5, 2.5);
        p.drawLine(QPointF(10.5, 18.5), QPointF(13.5, 18.5));
    } else if (s == "photo") {
        p.drawRoundedRect(QRectF(3, 5, 18, 14), 2.5, 2.5);
        p.drawPolyline(QPolygonF({{4, 17}, {9.5, 11.5}, {13, 15}, {15.5, 12.5}, {20, 17}}));
        filledCircle({15.5, 8.8}, 1.5);
    } else if (s == "film") {
        p.drawRoundedRect(QRectF(4, 3, 16, 18), 2, 2);
        p.drawLine(QPointF(8, 3), QPointF(8, 21));
        p.drawLine(QPointF(16, 3), QPointF(16, 21));
        p.drawLine(QPointF(8, 12), QPointF(16, 12));
    } else if (s == "music.note") {
        p.drawLine(QPointF(15, 4), QPointF(15, 17));
        p.drawLine(QPointF(15, 4), QPointF(19, 6));
        filledCircle({12, 17.5}, 3.2);
    } else if (s.startsWith("doc")) {
        QPainterPath page;
        page.moveTo(6, 2.5);
        page.lineTo(14, 2.5);
        page.lineTo(19, 7.5);
        page.lineTo(19, 21.5);
        page.lineTo(6, 21.5);
        page.closeSubpath();
        p.drawPath(page);
        p.drawPolyline(QPolygonF({{14, 2.5}, {14, 7.5}, {19, 7.5}}));
        if (s == "doc.text") {
            for (double y : {11.5, 14.5, 17.5}) p.drawLine(QPointF(9, y), QPointF(16, y));
        } else if (s == "doc.zipper") {
            for (double y : {6.0, 9.0, 12.0}) p.drawLine(QPointF(10, y), QPointF(11, y));
            p.drawRect(QRectF(9.5, 14, 3, 4));
        }
    } else if (s == "gearshape") {
        for (int i = 0; i < 8; ++i) {
            const double a = i * M_PI / 4;
            p.drawLine(QPointF(12 + 7 * std::cos(a), 12 + 7 * std::sin(a)),
                       QPointF(12 + 9.5 * std::cos(a), 12 + 9.5 * std::sin(a)));
        }
        p.drawEllipse(QPointF(12, 12), 7, 7);
        p.drawEllipse(QPointF(12, 12), 2.8, 2.8);
    } else if (s == "qrcode") {
        for (QPointF corner : {QPointF(3, 3), QPointF(14, 3), QPointF(3, 14)}) {
            p.drawRect(QRectF(corner, QSizeF(7, 7)));
        }
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        for (QRectF cell : {QRectF(5.5, 5.5, 2, 2), QRectF(16.5, 5.5, 2, 2), QRectF(5.5, 16.5, 2, 2),
                            QRectF(14, 14, 3, 3), QRectF(18, 18, 3, 3), QRectF(18, 14, 3, 2), QRectF(14, 18, 2, 3)})
            p.drawRect(cell);
    } else if (s == "tray.and.arrow.down" || s == "tray.and.arrow.up") {
        p.drawPolyline(QPolygonF({{3, 13}, {3, 20}, {21, 20}, {21, 13}}));
        p.drawPolyline(QPolygonF({{3, 13}, {8, 13}, {9.5, 16}, {14.5, 16}, {16, 13}, {21, 13}}));
        p.drawLine(QPointF(12, 2.5), QPointF(12, 11));
        if (s == "tray.and.arrow.down") p.drawPolyline(QPolygonF({{8.5, 7.5}, {12, 11}, {15.5, 7.5}}));
        else p.drawPolyline(QPolygonF({{8.5, 6}, {12, 2.5}, {15.5, 6}}));
    } else if (s == "square.stack.3d.up") {
        p.drawPolygon(QPolygonF({{12, 3}, {21, 7.5}, {12, 12}, {3, 7.5}}));
        p.drawPolyline(QPolygonF({{3, 12}, {12, 16.5}, {21, 12}}));
        p.drawPolyline(QPolygonF({{3, 16.5}, {12, 21}, {21, 16.5}}));
    } else if (s == "folder") {
        QPainterPath folder;
        folder.moveTo(2.5, 6);
        folder.lineTo(9, 6);
        folder.lineTo(11, 8);
        folder.lineTo(21.5, 8);
        folder.lineTo(21.5, 19.5);
        folder.lineTo(2.5, 19.5);
        folder.closeSubpath();
        p.setBrush(c);
        p.drawPath(folder);
    } else if (s == "wifi.exclamationmark") {
        for (double r : {4.0, 8.0}) p.drawArc(QRectF(10 - r, 16 - r, 2 * r, 2 * r), 45 * 16, 90 * 16);
        filledCircle({10, 16.5}, 1.5);
        p.setPen(pen);
        p.drawLine(QPointF(20, 5), QPointF(20, 14));
        filledCircle({20, 18}, 1.3);
    } else if (s == "dot.radiowaves.left.and.right") {
        filledCircle({12, 12}, 2.2);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        for (double r : {5.0, 9.0}) {
            p.drawArc(QRectF(12 - r, 12 - r, 2 * r, 2 * r), -40 * 16, 80 * 16);
            p.drawArc(QRectF(12 - r, 12 - r, 2 * r, 2 * r), 140 * 16, 80 * 16);
        }
    } else {
        p.drawEllipse(QPointF(12, 12), 8, 8);
    }
}

}  // namespace

void paintSymbol(QPainter& painter, const QRectF& box, const QString& symbol, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(box.width(), box.height());
    painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
    painter.scale(side / 24, side / 24);
    // Draw into a layer so cut-outs only clear the symbol itself.
    QImage layer(QSize(96, 96), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter inner(&layer);
        inner.setRenderHint(QPainter::Antialiasing);
        inner.scale(4, 4);
        drawOnGrid(inner, symbol, color);
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(0, 0, 24, 24), layer);
    painter.restore();
}

QString fileSymbol(const QString& fileName) {
    const QString last = QFileInfo(fileName).fileName();
    const int dot = last.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) return QStringLiteral("doc");
    const ContentType type = ContentType::forFileName(last.toStdString());
    if (type == ContentType::data()) return QStringLiteral("doc");
    using C = ContentType::Category;
    if (type.conformsTo(C::image)) return QStringLiteral("photo");
    if (type.conformsTo(C::movie)) return QStringLiteral("film");
    if (type.conformsTo(C::audio)) return QStringLiteral("music.note");
    const std::string mime = type.mimeType().value_or("");
    for (const char* archive : {"application/zip", "application/x-tar", "application/gzip", "application/x-7z",
                                "application/x-rar", "application/vnd.rar", "application/x-bzip", "application/x-xz",
                                "application/x-compressed-tar", "application/zstd"})
        if (mime.rfind(archive, 0) == 0) return QStringLiteral("doc.zipper");
    if (type.conformsTo(C::pdf) || type.conformsTo(C::text) || type.conformsTo(C::presentation) ||
        type.conformsTo(C::spreadsheet))
        return QStringLiteral("doc.text");
    return QStringLiteral("doc");
}

QPixmap symbolPixmap(const QString& symbol, const QColor& color, int size) {
    QPixmap pixmap(QSize(size, size) * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintSymbol(painter, QRectF(0, 0, size, size), symbol, color);
    return pixmap;
}

void setButtonSymbol(ThemedButton* button, const QString& symbol) {
    button->setSymbol(symbol, 18);
}

int symbolPixels(const QFont& font) { return QFontMetrics(font).height(); }

}  // namespace velmo
