#include "velmo/ui/ViewHelpers.h"

#include "velmo/ui/WindowFitter.h"

#include <QDialog>
#include <QLayout>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

namespace velmo {

QLabel* plainLabel(const QString& text, const QFont& font, const ThemeColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(font);
    setTextColor(label, color);
    return label;
}

QString plainToolTip(const QString& text) {
    // Rich text whose only content is the escaped text: no tag, entity or image of it takes effect.
    // Qt word-wraps rich tooltips, folding even a short one onto two or three lines; kept as one.
    return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

void holdInitialFocus(QWidget* view) {
    // Not a tab stop of its own: the focus only rests here until the user moves it.
    view->setFocusPolicy(Qt::NoFocus);
    view->setFocus(Qt::OtherFocusReason);
}

namespace {

void collectInLayoutOrder(QLayout* layout, QList<QWidget*>& controls) {
    if (!layout) return;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QLayout* inner = item->layout()) collectInLayoutOrder(inner, controls);
        QWidget* widget = item->widget();
        if (!widget) continue;
        if (widget->focusPolicy() & Qt::TabFocus) controls.append(widget);
        if (auto* scroll = qobject_cast<QScrollArea*>(widget); scroll && scroll->widget())
            collectInLayoutOrder(scroll->widget()->layout(), controls);
        collectInLayoutOrder(widget->layout(), controls);
    }
}

}  // namespace

void tabInLayoutOrder(QWidget* root) {
    QList<QWidget*> controls;
    collectInLayoutOrder(root->layout(), controls);
    for (qsizetype i = 1; i < controls.size(); ++i) QWidget::setTabOrder(controls[i - 1], controls[i]);
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
    QVBoxLayout* column = fittedColumn(sheet, 640, 24, 24, true);
    holdInitialFocus(sheet);
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
