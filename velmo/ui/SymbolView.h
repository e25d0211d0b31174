#pragma once

#include "velmo/ui/Theme.h"

#include <QString>
#include <QWidget>


namespace velmo {

// A widget that paints one symbol, centred.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(QString symbol, const ThemeColor& color, int size, QWidget* parent = nullptr);
    QString symbol() const { return symbol_; }
    QSize sizeHint() const override { return {size_, size_}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    ThemeColor color_;
    int size_;
};

}  // namespace velmo
