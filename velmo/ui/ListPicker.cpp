#include "velmo/ui/ListPicker.h"

#include <QKeyEvent>
#include <QWheelEvent>

namespace velmo {

namespace {

bool opensList(const QKeyEvent* event) {
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_F4:
    case Qt::Key_Select: return modifiers == Qt::NoModifier;
    case Qt::Key_Up:
    case Qt::Key_Down: return modifiers == Qt::AltModifier;
    default: return false;
    }
}

}  // namespace

ListPicker::ListPicker(QWidget* parent) : QComboBox(parent) {}

void ListPicker::keyPressEvent(QKeyEvent* event) {
    if (opensList(event)) QComboBox::keyPressEvent(event);
    else event->ignore();
}

void ListPicker::keyReleaseEvent(QKeyEvent* event) {
    if (opensList(event)) QComboBox::keyReleaseEvent(event);
    else event->ignore();
}

void ListPicker::wheelEvent(QWheelEvent* event) { event->ignore(); }

}  // namespace velmo
