#include "velmo/ui/ElidedLabel.h"

#include "velmo/ui/ViewHelpers.h"

#include <QFontMetrics>
#include <QStyle>

namespace velmo {

ElidedLabel::ElidedLabel(QString text, Qt::TextElideMode mode, const QFont& font, const ThemeColor& color,
                         QWidget* parent)
    : QLabel(parent), full_(std::move(text)), mode_(mode) {
    setTextFormat(Qt::PlainText);
    // A right-to-left name keeps to the side of its list, where QLabel would follow the text.
    setAlignment(QStyle::visualAlignment(layoutDirection(), Qt::AlignLeft) | Qt::AlignAbsolute | Qt::AlignVCenter);
    setFont(font);
    setTextColor(this, color);
    // Asks for the whole text and gives way down to the minimum where the row is short.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    setText(full_);
}

void ElidedLabel::setFullText(const QString& text) {
    full_ = text;
    elide();
    updateGeometry();
}

QSize ElidedLabel::minimumSizeHint() const { return {24, QLabel::minimumSizeHint().height()}; }

QSize ElidedLabel::sizeHint() const {
    return {QFontMetrics(font()).horizontalAdvance(full_) + 2, QLabel::sizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    // A line break in a name would make a second line; show it as a space.
    QString line = full_;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    setText(QFontMetrics(font()).elidedText(line, mode_, width()));
    // The whole text on hover, only where some of it is hidden.
    setToolTip(text() == line ? QString() : plainToolTip(full_, this));
}

}  // namespace velmo
