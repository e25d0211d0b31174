// The keyboard reaches what a column scrolls: Page Up, Page Down, the arrows, Home and End
// scroll it from anywhere in its window when the focused control has no use for the key, and a
// control the keyboard moves to is scrolled into view, with the widget its "revealArea" property
// names when it has one.
#pragma once

#include <QObject>
#include <QPointer>

class QScrollArea;
class QWidget;

namespace velmo {

class KeyboardScroll : public QObject {
public:
    explicit KeyboardScroll(QScrollArea* scroll);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Scrolls for `key` (a Qt::Key) when the column is taller than its view; false when it did not.
    bool scrollFor(int key);
    void reveal(QWidget* focused);
    void show(QWidget* focused);
    QScrollArea* scroll_;
    QPointer<QWidget> window_;
    QPointer<QWidget> viewport_;
    // The control last brought into view, kept there as the column is resized.
    QPointer<QWidget> revealed_;
};

}  // namespace velmo
