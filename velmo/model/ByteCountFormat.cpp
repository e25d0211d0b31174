#include "velmo/model/ByteCountFormat.h"


namespace velmo {

namespace {

// Rounds to the given decimals and drops a fraction that rounds to zero ("2 MB", not "2.0 MB").
QString number(double value, int decimals) {
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0'))) text.chop(1);
        if (text.endsWith(QLatin1Char('.'))) text.chop(1);
    }
    return text;
}

}  // namespace

QString formatByteCount(std::int64_t bytes) {
    if (bytes <= 0) return QStringLiteral("0 bytes");
    if (bytes == 1) return QStringLiteral("1 byte");
    if (bytes < 1000) return QStringLiteral("%1 bytes").arg(bytes);
    struct Unit {
        const char* name;
        double size;
        int decimals;
    };
    static const Unit units[] = {{"KB", 1e3, 0}, {"MB", 1e6, 1}, {"GB", 1e9, 2}, {"TB", 1e12, 2}, {"PB", 1e15, 2}};
    const double value = static_cast<double>(bytes);
    for (std::size_t i = 0; i < std::size(units); ++i) {
        const Unit& unit = units[i];
        const bool last = i + 1 == std::size(units);
        // A value that would round up to 1000 of this unit moves to the next one.
        const double scaled = value / unit.size;
        const double rounded = QString::number(scaled, 'f', unit.decimals).toDouble();
        if (last || rounded < 1000)
            return QStringLiteral("%1 %2").arg(number(scaled, unit.decimals), QLatin1String(unit.name));
    }
    return {};
}

}  // namespace velmo
