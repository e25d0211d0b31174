#include "velmo/ui/Banner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include "velmo/ui/Symbols.h"
#include "velmo/ui/SymbolView.h"
#include "velmo/ui/Theme.h"
#include "velmo/ui/ViewHelpers.h"

namespace velmo {

Banner::Banner(const QString& symbol, const QString& text, Tone tone, QWidget* parent) : QWidget(parent), tone_(tone) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(8);
    const ThemeColor& symbolColor =
        tone == Tone::danger ? colors::bad : tone == Tone::warning ? colors::warn : colors::accentText;
    row->addWidget(new SymbolView(symbol, symbolColor, symbolPixels(fonts::callout()), this), 0, Qt::AlignTop);
    label_ = plainLabel(text, fonts::caption(), colors::text, this);
    label_->setWordWrap(true);
    row->addWidget(label_, 1, Qt::AlignTop);
}

QString Banner::text() const { return label_->text(); }

void Banner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 8, 8);
    painter.fillPath(shape, tone_ == Tone::danger    ? QColor(colors::badSoft)
                            : tone_ == Tone::warning ? QColor(colors::warnSoft)
                                                     : QColor(colors::soft));
}

}  // namespace velmo
