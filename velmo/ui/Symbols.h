#pragma once

#include "velmo/ui/Theme.h"

#include <QFont>
#include <QPixmap>
#include <QString>

class QPainter;
class QRectF;

namespace velmo {

// Draws one of our named symbols ("xmark", "photo", "smartphone", ...) into `box`.
void paintSymbol(QPainter& painter, const QRectF& box, const QString& symbol, const QColor& color);
// A symbol `size` points wide, drawn at twice the resolution for sharp icons.
QPixmap symbolPixmap(const QString& symbol, const QColor& color, int size);
// Puts a symbol in the button's label colour in front of its title.
void setButtonSymbol(ThemedButton* button, const QString& symbol);
// The symbol for a file name by its extension's content type.
QString fileSymbol(const QString& fileName);
// Symbol size in pixels for a font: the glyph box of the font.
int symbolPixels(const QFont& font);

}  // namespace velmo
