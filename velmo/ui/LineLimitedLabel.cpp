#include "velmo/ui/LineLimitedLabel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

namespace velmo {

namespace {

QString withoutTrailingSpace(QString line) {
    while (!line.isEmpty() && line.back().isSpace()) line.chop(1);
    return line;
}

}  // namespace

LineLimitedLabel::LineLimitedLabel(const QString& text, int maxLines, const QFont& font, const ThemeColor& color,
                                   QWidget* parent)
    : QLabel(parent), maxLines_(std::max(1, maxLines)) {
    setTextFormat(Qt::PlainText);
    setFont(font);
    setTextColor(this, color);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setText(text);
}

QString LineLimitedLabel::breaksAsSpaces(QString text) {
    for (QChar& c : text)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    return text;
}

bool LineLimitedLabel::fits(const QString& text, int width) const {
    QTextLayout layout(breaksAsSpaces(text), font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    int lines = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid() && lines <= maxLines_; line = layout.createLine()) {
        line.setLineWidth(std::max(width, 1));
        ++lines;
    }
    layout.endLayout();
    return lines <= maxLines_;
}

QStringList LineLimitedLabel::linesFor(int width) const {
    const QString whole = breaksAsSpaces(text());
    width = std::max(width, 1);
    QTextLayout layout(whole, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == maxLines_ - 1) {
            // The last line allowed takes the rest, cut where it no longer fits.
            lines << QFontMetrics(font()).elidedText(withoutTrailingSpace(whole.mid(line.textStart())), Qt::ElideRight,
                                                     width);
            break;
        }
        lines << withoutTrailingSpace(whole.mid(line.textStart(), line.textLength()));
    }
    layout.endLayout();
    if (lines.isEmpty()) lines << QString();
    return lines;
}

int LineLimitedLabel::lineHeight() const {
    // Asked at every measure of every row: laid out again only when the text or font changed.
    if (measuredHeight_ > 0 && measuredText_ == text() && measuredFont_ == font()) return measuredHeight_;
    QTextLayout layout(breaksAsSpaces(text()), font());
    layout.beginLayout();
    QTextLine line = layout.createLine();
    int height = QFontMetrics(font()).lineSpacing();
    if (line.isValid()) {
        line.setNumColumns(layout.text().size());  // all of it on one line, every font it uses
        height = std::max(height, static_cast<int>(std::ceil(line.height())));
    }
    layout.endLayout();
    measuredText_ = text();
    measuredFont_ = font();
    measuredHeight_ = height;
    return height;
}

int LineLimitedLabel::heightForWidth(int width) const {
    const QMargins margins = contentsMargins();
    const auto lines = linesFor(width - margins.left() - margins.right()).size();
    return static_cast<int>(lines) * lineHeight() + margins.top() + margins.bottom();
}

QSize LineLimitedLabel::sizeHint() const {
    // One line of the text, but no wider than a comfortable line (as a wrapped QLabel asks).
    const QFontMetricsF metrics(font());
    const QMargins margins = contentsMargins();
    const double line = std::min(metrics.horizontalAdvance(text()), 80 * metrics.averageCharWidth());
    const int width = static_cast<int>(std::ceil(line)) + margins.left() + margins.right();
    return {width, heightForWidth(width)};
}

QSize LineLimitedLabel::minimumSizeHint() const {
    const QFontMetrics metrics(font());
    const QMargins margins = contentsMargins();
    return {4 * metrics.averageCharWidth() + margins.left() + margins.right(),
            lineHeight() + margins.top() + margins.bottom()};
}

void LineLimitedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(foregroundRole()));
    const QRect area = contentsRect();
    const int lineHeight = this->lineHeight();
    const int flags = static_cast<int>(alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignTop | Qt::TextSingleLine;
    int y = area.top();
    for (const QString& line : linesFor(area.width())) {
        painter.drawText(QRect(area.left(), y, area.width(), lineHeight), flags, line);
        y += lineHeight;
    }
}

}  // namespace velmo
