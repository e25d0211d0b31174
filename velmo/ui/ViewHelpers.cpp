#include "velmo/ui/ViewHelpers.h"

#include <QDialog>
#include <QEvent>
#include <QLayout>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

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

namespace {

constexpr int sheetWidth = 640;

QScrollArea* sheetScroll(QDialog* sheet) {
    return sheet->findChild<QScrollArea*>(QStringLiteral("sheetScroll"), Qt::FindDirectChildrenOnly);
}

// Fits the sheet again once a layout change inside its column has settled.
class SheetFitter : public QObject {
public:
    explicit SheetFitter(QDialog* sheet) : QObject(sheet), sheet_(sheet) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::LayoutRequest && !pending_) {
            pending_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    pending_ = false;
                    fitSheet(sheet_);
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    QDialog* sheet_;
    bool pending_ = false;
};

}  // namespace

QVBoxLayout* sheetColumn(QDialog* sheet, const QString& title) {
    sheet->setWindowTitle(title);
    sheet->setWindowModality(Qt::WindowModal);
    applyWindowBackground(sheet);
    sheet->setFixedWidth(sheetWidth);
    auto* frame = new QVBoxLayout(sheet);
    frame->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(sheet);
    scroll->setObjectName(QStringLiteral("sheetScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    // The scroll area is no stop of its own: Tab goes from control to control.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->viewport()->setAutoFillBackground(false);
    auto* content = new QWidget(scroll);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(24);
    scroll->setWidget(content);
    content->setAutoFillBackground(false);
    frame->addWidget(scroll);
    content->installEventFilter(new SheetFitter(sheet));
    holdInitialFocus(sheet);
    return column;
}

void fitSheet(QDialog* sheet) {
    QScrollArea* scroll = sheetScroll(sheet);
    if (!scroll || !scroll->widget() || !scroll->widget()->layout()) return;
    QWidget* content = scroll->widget();
    QLayout* column = content->layout();
    // Widgets just added to a visible sheet are shown by Qt a moment later, and until then
    // the layout leaves them out: show them now, as Qt would, so the height counts them.
    if (content->isVisible())
        for (QWidget* child : content->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (child->isHidden() && !child->testAttribute(Qt::WA_WState_ExplicitShowHide)) child->show();
    column->activate();
    // The minimum height ignores how far text wraps; the height for the sheet's width does not.
    int needed = column->hasHeightForWidth() ? column->totalHeightForWidth(sheetWidth) : column->totalSizeHint().height();
    needed = std::max(needed, column->totalMinimumSize().height());
    int limit = needed;
    if (const QScreen* screen = sheet->screen()) {
        const int frame = sheet->isVisible() ? sheet->frameGeometry().height() - sheet->height() : 0;
        limit = screen->availableGeometry().height() - std::max(frame, 0);
    }
    sheet->setFixedHeight(std::min(needed, limit));
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
