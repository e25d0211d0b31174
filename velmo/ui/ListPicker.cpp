#include "velmo/ui/ListPicker.h"

#include <QKeyEvent>
#include <QWheelEvent>

namespace velmo {

namespace {

bool plain(const QKeyEvent* event) { return (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier; }

bool opensList(const QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_F4:
    case Qt::Key_Select: return plain(event);
    default: return false;
    }
}

// QComboBox opens its list on Alt+Down but steps to the previous entry on Alt+Up.
bool altArrow(const QKeyEvent* event) {
    return (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) &&
           (event->modifiers() & ~Qt::KeypadModifier) == Qt::AltModifier;
}

}  // namespace

ListPicker::ListPicker(QWidget* parent) : QComboBox(parent) {}

void ListPicker::keyPressEvent(QKeyEvent* event) {
    // The opened list closes on Escape and then hands the key on to the picker; ignored here,
    // it would reach a popup around the picker and close that too.
    if (event->matches(QKeySequence::Cancel) && closingList_) {
        event->accept();
    } else if (altArrow(event)) {
        event->accept();
        showPopup();
    } else if (opensList(event)) {
        QComboBox::keyPressEvent(event);
    } else {
        event->ignore();
    }
}

void ListPicker::keyReleaseEvent(QKeyEvent* event) {
    if (altArrow(event)) event->accept();
    else if (opensList(event)) QComboBox::keyReleaseEvent(event);
    else event->ignore();
}

void ListPicker::hidePopup() {
    closingList_ = true;
    QComboBox::hidePopup();
    QMetaObject::invokeMethod(this, [this] { closingList_ = false; }, Qt::QueuedConnection);
}

void ListPicker::wheelEvent(QWheelEvent* event) { event->ignore(); }

}  // namespace velmo
