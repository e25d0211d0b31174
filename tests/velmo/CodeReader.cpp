#include "velmo/CodeReader.h"

#include <QColor>
#include <QProcess>
#include <QRect>
#include <QTemporaryDir>
#include <algorithm>

namespace velmo::test {

std::string decodeQR(const QImage& image) {
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("code.png"));
    if (!image.save(file)) return "<not saved>";
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--nodbus"), QStringLiteral("-q"), QStringLiteral("--raw"), file});
    if (!zbar.waitForStarted()) return "<zbarimg missing: install zbar-tools>";
    zbar.waitForFinished();
    return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed().toStdString();
}

double quietModules(const QImage& tile, int modules) {
    QRect dark;
    for (int y = 0; y < tile.height(); ++y)
        for (int x = 0; x < tile.width(); ++x)
            if (const QColor color = tile.pixelColor(x, y); color.alpha() == 255 && color.lightness() < 16)
                dark |= QRect(x, y, 1, 1);
    if (dark.isEmpty() || modules <= 0) return 0;
    // From the code outwards, through its middle, while the pixels are of the white tile.
    const auto light = [&](QPoint from, QPoint step) {
        int count = 0;
        for (QPoint at = from + step; tile.rect().contains(at) && tile.pixel(at) == qRgb(255, 255, 255); at += step)
            ++count;
        return count;
    };
    const QPoint middle = dark.center();
    const int margin = std::min({light({dark.left(), middle.y()}, {-1, 0}), light({dark.right(), middle.y()}, {1, 0}),
                                 light({middle.x(), dark.top()}, {0, -1}), light({middle.x(), dark.bottom()}, {0, 1})});
    return margin / (static_cast<double>(dark.width()) / modules);
}

}  // namespace velmo::test
