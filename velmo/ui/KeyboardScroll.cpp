#include "velmo/ui/KeyboardScroll.h"

#include "velmo/ui/WindowFitter.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScrollArea>
#include <QScrollBar>

namespace velmo {

KeyboardScroll::KeyboardScroll(QScrollArea* scroll) : QObject(scroll), scroll_(scroll) {
    scroll->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { reveal(now); });
    // The window refits after the focus came, and the column with it: the control is brought
    // back into view until the user scrolls.
    viewport_ = scroll->viewport();
    viewport_->installEventFilter(this);
    const auto letGo = [this] { revealed_ = nullptr; };
    connect(scroll->verticalScrollBar(), &QAbstractSlider::actionTriggered, this, letGo);
    connect(scroll->verticalScrollBar(), &QAbstractSlider::sliderPressed, this, letGo);
}

void KeyboardScroll::reveal(QWidget* focused) {
    // A control clicked with the mouse stays under the pointer; one reached from the keyboard
    // (Tab, or the focus moving on from a control that went away) comes into view.
    if (!focused || !scroll_->widget() || !scroll_->widget()->isAncestorOf(focused)) return;
    if (!(focused->focusPolicy() & Qt::TabFocus) || QGuiApplication::mouseButtons() != Qt::NoButton) return;
    revealed_ = focused;
    show(focused);
}

void KeyboardScroll::show(QWidget* focused) {
    // A control that asks for it brings the whole of its part (a question and its answers) along.
    if (auto* area = qobject_cast<QWidget*>(focused->property("revealArea").value<QObject*>());
        area && area->isAncestorOf(focused))
        scroll_->ensureWidgetVisible(area, 0, 0);
    scroll_->ensureWidgetVisible(focused);
}

bool KeyboardScroll::scrollFor(int key) {
    QScrollBar* bar = scroll_->verticalScrollBar();
    if (!scroll_->isVisible() || bar->maximum() <= bar->minimum()) return false;
    switch (key) {
    case Qt::Key_PageUp: bar->triggerAction(QAbstractSlider::SliderPageStepSub); return true;
    case Qt::Key_PageDown: bar->triggerAction(QAbstractSlider::SliderPageStepAdd); return true;
    case Qt::Key_Up: bar->triggerAction(QAbstractSlider::SliderSingleStepSub); return true;
    case Qt::Key_Down: bar->triggerAction(QAbstractSlider::SliderSingleStepAdd); return true;
    case Qt::Key_Home: bar->triggerAction(QAbstractSlider::SliderToMinimum); return true;
    case Qt::Key_End: bar->triggerAction(QAbstractSlider::SliderToMaximum); return true;
    default: return false;
    }
}

bool KeyboardScroll::eventFilter(QObject* watched, QEvent* event) {
    // Compared by the pointer kept: events also come while the area is being destroyed, when
    // none of its members may be called.
    if (watched == viewport_) {
        if (event->type() == QEvent::Resize && revealed_)
            QMetaObject::invokeMethod(this, [this] {
                if (revealed_ && revealed_ == QApplication::focusWidget()) show(revealed_);
            }, Qt::QueuedConnection);
        return false;
    }
    if (watched == scroll_) {
        if (event->type() == QEvent::Show || event->type() == QEvent::ParentChange)
            watchWindowOf(scroll_, window_, this);
        return false;
    }
    // Keys reach the window when the focused control and the widgets around it left them.
    if (watched != window_ || event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
    return scrollFor(key->key());
}

}  // namespace velmo
