#include "velmo/ui/ViewHelpers.h"

#include "velmo/ui/WindowFitter.h"

#include <QDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QTextLayout>
#include <QToolTip>
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

QString isolated(const QString& name) { return QChar(0x2068) + name + QChar(0x2069); }

QString plainToolTip(const QString& text, const QWidget* on) {
    // Rich text whose only content is the escaped text: no tag, entity or image of it takes effect.
    // Qt would fold a rich tooltip onto a narrow width at spaces only, and run a long name
    // without spaces off the screen: the lines are broken here, anywhere in a word if need be.
    const QFont font = QToolTip::font();
    qreal width = 60 * QFontMetricsF(font).averageCharWidth();
    if (const QScreen* screen = on ? on->screen() : QGuiApplication::primaryScreen())
        width = std::min<qreal>(width, screen->availableGeometry().width() - 32);  // the tip's frame and margins
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    QStringList lines;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font);
        layout.setTextOption(option);
        layout.beginLayout();
        const qsizetype first = lines.size();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(std::max<qreal>(width, 1));
            lines << paragraph.mid(line.textStart(), line.textLength()).toHtmlEscaped();
        }
        layout.endLayout();
        if (lines.size() == first) lines << QString();
    }
    return QStringLiteral("<p style='white-space:pre'>") + lines.join(QStringLiteral("<br>")) + QStringLiteral("</p>");
}

void holdInitialFocus(QWidget* view) {
    // Not a tab stop of its own: the focus only rests here until the user moves it.
    view->setFocusPolicy(Qt::NoFocus);
    view->setFocus(Qt::OtherFocusReason);
}

namespace {

// Set on a widget while it holds the focus for a control of its own being made anew.
constexpr const char* heldFocus = "holdsFocusForAControl";

// The controls in `layout` in the order it shows them; `markAt`, when given, is set to how many
// of them come before the end of the layout `mark`.
void collectInLayoutOrder(QLayout* layout, QList<QWidget*>& controls, const QLayout* mark = nullptr,
                          qsizetype* markAt = nullptr) {
    if (!layout) return;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QLayout* inner = item->layout()) collectInLayoutOrder(inner, controls, mark, markAt);
        QWidget* widget = item->widget();
        if (!widget) continue;
        if (widget->focusPolicy() & Qt::TabFocus) controls.append(widget);
        if (auto* scroll = qobject_cast<QScrollArea*>(widget); scroll && scroll->widget())
            collectInLayoutOrder(scroll->widget()->layout(), controls, mark, markAt);
        collectInLayoutOrder(widget->layout(), controls, mark, markAt);
    }
    if (layout == mark && markAt) *markAt = controls.size();
}

// Whether `widget` is one of the widgets of `layout`, of its inner layouts, or inside one of them.
bool holds(QLayout* layout, const QWidget* widget) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* shown = item->widget(); shown && (shown == widget || shown->isAncestorOf(widget))) return true;
        if (QLayout* inner = item->layout(); inner && holds(inner, widget)) return true;
    }
    return false;
}

bool reachable(const QWidget* control) { return control->isVisible() && control->isEnabled(); }

// The control of `layout` nearest to `point` (relative to the layout), or else the first
// control after the layout in its window, or else the last one before it.
QWidget* nearestControl(QLayout* layout, QPoint point) {
    QWidget* host = layout->parentWidget();
    QList<QWidget*> own;
    collectInLayoutOrder(layout, own);
    QWidget* nearest = nullptr;
    qint64 best = 0;
    for (QWidget* control : own) {
        if (!reachable(control)) continue;
        const QRect rect(control->mapTo(host, QPoint(0, 0)) - layout->geometry().topLeft(), control->size());
        const qint64 dx = std::max({rect.left() - point.x(), point.x() - rect.right(), 0});
        const qint64 dy = std::max({rect.top() - point.y(), point.y() - rect.bottom(), 0});
        if (!nearest || dx * dx + dy * dy < best) {
            nearest = control;
            best = dx * dx + dy * dy;
        }
    }
    if (nearest) return nearest;
    QList<QWidget*> all;
    qsizetype after = -1;
    collectInLayoutOrder(host->window()->layout(), all, layout, &after);
    if (after < 0) return nullptr;
    for (qsizetype i = after; i < all.size(); ++i)
        if (reachable(all[i])) return all[i];
    for (qsizetype i = after - 1; i >= 0; --i)
        if (reachable(all[i])) return all[i];
    return nullptr;
}

QList<QWidget*> reachableControls(QLayout* layout) {
    QList<QWidget*> controls;
    collectInLayoutOrder(layout, controls);
    controls.removeIf([](QWidget* control) { return !reachable(control); });
    return controls;
}

// The focus leaves a control that `layout` is about to lose: the layout's widget holds it, no
// tab stop of its own, so no scroll area moves to show it; once the layout is filled again it
// goes to the control at the same place in the list (the same row's, or the one that took its
// place, or the last), else to the nearest. Places do not depend on geometry, which may not
// have settled yet while the window changes around the list.
void keepFocusThrough(QLayout* layout, QWidget* focused) {
    QWidget* host = layout->parentWidget();
    if (!host || !host->isVisible()) return;
    const QPoint was = focused->mapTo(host, focused->rect().center()) - layout->geometry().topLeft();
    const qsizetype place = reachableControls(layout).indexOf(focused);
    host->setFocus(Qt::OtherFocusReason);
    host->setProperty(heldFocus, true);
    QMetaObject::invokeMethod(
        host,
        [host, layout = QPointer<QLayout>(layout), was, place] {
            host->setProperty(heldFocus, false);
            if (!layout || host->window()->focusWidget() != host || !host->isVisible()) return;
            // The new controls take their places now rather than a moment later.
            showNewChildren(host);
            if (host->layout()) host->layout()->activate();
            const auto controls = reachableControls(layout);
            QWidget* next = place >= 0 && !controls.isEmpty() ? controls[std::min(place, controls.size() - 1)]
                                                              : nearestControl(layout, was);
            if (next) next->setFocus(Qt::OtherFocusReason);
        },
        Qt::QueuedConnection);
}

}  // namespace

bool focusOnControl(const QWidget* window) {
    const QWidget* focused = window->focusWidget();
    return focused && ((focused->focusPolicy() & Qt::TabFocus) || focused->property(heldFocus).toBool());
}

void showNewChildren(QWidget* parent) {
    if (!parent->isVisible()) return;
    for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (child->isHidden() && !child->testAttribute(Qt::WA_WState_ExplicitShowHide)) child->show();
}

bool tabInLayoutOrder(QWidget* root, bool next) {
    QList<QWidget*> controls;
    collectInLayoutOrder(root->layout(), controls);
    for (qsizetype i = 1; i < controls.size(); ++i) QWidget::setTabOrder(controls[i - 1], controls[i]);
    // From nowhere, Qt's chain would start at whichever control was made first.
    if (focusOnControl(root->window())) return false;
    controls.removeIf([](QWidget* control) { return !reachable(control); });
    if (controls.isEmpty()) return false;
    (next ? controls.front() : controls.back())->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void clearLayout(QLayout* layout, QWidget* keep) {
    // The focus of the layout's window, also while another window is active: it returns there.
    QWidget* host = layout->parentWidget();
    QWidget* focused = host ? host->window()->focusWidget() : nullptr;
    if (focused && focused != keep && holds(layout, focused)) keepFocusThrough(layout, focused);
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
