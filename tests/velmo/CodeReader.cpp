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
    const double module = static_cast<double>(dark.width()) / modules;
    const int margin = std::min({dark.left(), dark.top(), tile.width() - 1 - dark.right(), tile.height() - 1 - dark.bottom()});
    return margin / module;
}

}  // namespace velmo::test
