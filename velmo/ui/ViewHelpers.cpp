#include "velmo/ui/ViewHelpers.h"

#include <QDialog>
#include <QLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace velmo {

QLabel* plainLabel(const QString& text, const QFont& font, const ThemeColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

void clearLayout(QLayout* layout, QWidget* keep) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->setParent(nullptr);
            // A kept widget (one with its own clock) is only taken out, to be placed again.
            if (widget != keep) widget->deleteLater();
        } else if (QLayout* inner = item->layout()) {
            clearLayout(inner, keep);
        }
        delete item;
    }
}

QVBoxLayout* sheetColumn(QDialog* sheet, const QString& title) {
    sheet->setWindowTitle(title);
    sheet->setWindowModality(Qt::WindowModal);
    applyWindowBackground(sheet);
    sheet->setFixedWidth(640);
    auto* column = new QVBoxLayout(sheet);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(24);
    return column;
}

namespace {
class Divider : public QWidget {
public:
    explicit Divider(QWidget* parent) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), QColor(colors::line)); }
};
}  // namespace

QWidget* makeDivider(QWidget* parent) { return new Divider(parent); }

}  // namespace velmo
