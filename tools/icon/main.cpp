// velmo-icon OUTDIR: the application icon, the logo tile the windows draw, rendered to PNG in
// the freedesktop icon theme layout (OUTDIR/<n>x<n>/apps/com.halvester.velmo.png).
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>

#include <cstdio>

#include "velmo/ui/VelmoTile.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: velmo-icon OUTDIR\n", stderr);
        return 2;
    }
    for (const int side : {32, 48, 64, 128, 256, 512}) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(side);
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        velmo::VelmoTile tile(side);
        tile.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        if (!QDir().mkpath(folder) || !image.save(folder + QStringLiteral("/com.halvester.velmo.png"))) {
            std::fprintf(stderr, "velmo-icon: cannot write into %s\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
