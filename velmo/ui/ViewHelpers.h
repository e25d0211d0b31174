#pragma once

#include "velmo/ui/Theme.h"

#include <QLabel>
#include <QString>

class QDialog;
class QLayout;
class QVBoxLayout;

namespace velmo {

// A label for text that may come from phones, files or errors: never interpreted as markup.
QLabel* plainLabel(const QString& text, const QFont& font, const ThemeColor& color, QWidget* parent = nullptr);
// A name from a phone or a file, placed inside a sentence: wrapped in a first-strong isolate
// (U+2068 … U+2069), so a right-to-left name keeps its own order without reordering the words
// and numbers around it.
QString isolated(const QString& name);
// A tooltip that shows `text` as it stands (Qt would render a tooltip that looks like markup),
// broken into lines of a readable width that fit the screen of `on`, long unbroken names too.
QString plainToolTip(const QString& text, const QWidget* on = nullptr);
// Starts `view` with the keyboard focus on itself rather than on its first control: nothing is
// pre-selected for Space or Return, and the first Tab reaches the first control.
void holdInitialFocus(QWidget* view);
// Puts the controls inside `root` in the Tab order in which its layouts show them, top to
// bottom: a control made after the window would otherwise come last, wherever it is shown.
// With the focus on no control, Tab (`next`) then starts at the first of them and Shift+Tab at
// the last, which this gives the focus, returning true.
bool tabInLayoutOrder(QWidget* root, bool next);
// Whether the keyboard focus of `window` is on a control, or held for one that a list is
// making anew (clearLayout).
bool focusOnControl(const QWidget* window);
// Widgets just added to a visible widget are shown by Qt a moment later, and until then
// layouts leave them out: shows them now, as Qt would.
void showNewChildren(QWidget* parent);
// Removes and deletes every item of a layout (widgets are deleted later, so a button whose
// click caused the rebuild outlives its handler). When the keyboard focus was on one of them,
// it goes, once the layout is filled again, to the control of the layout nearest to where it
// was, or else to the next control after the layout; the view does not move meanwhile.
void clearLayout(QLayout* layout, QWidget* keep = nullptr);
// Gives a sheet the frame every sheet shares (title, modal to its window, the window
// background, a fixed width) and returns its padded column. The sheet keeps the height its
// content needs at that width, wrapped text included, as the content changes, and stays on
// its screen: beyond the screen's height the column scrolls, while its footer (fittedFooter)
// stays in view.
QVBoxLayout* sheetColumn(QDialog* sheet, const QString& title);

// A one-point hairline in the theme's line colour.
QWidget* makeDivider(QWidget* parent = nullptr);

// Runs `action` after the current round of events, once however often it is asked meanwhile:
// `pending`, a member of `context`, is true while a run waits.
template <class Action>
void runOnceLater(QObject* context, bool& pending, Action action) {
    if (pending) return;
    pending = true;
    QMetaObject::invokeMethod(
        context,
        [&pending, action = std::move(action)] {
            pending = false;
            action();
        },
        Qt::QueuedConnection);
}

}  // namespace velmo
