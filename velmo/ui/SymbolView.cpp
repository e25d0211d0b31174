#include "velmo/ui/SymbolView.h"

#include <QPainter>

#include "velmo/ui/Symbols.h"

namespace velmo {

SymbolView::SymbolView(QString symbol, const ThemeColor& color, int size, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), color_(color), size_(size) {
    setFixedSize(size, size);
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintSymbol(painter, QRectF(rect()), symbol_, color_.now());
}

}  // namespace velmo
