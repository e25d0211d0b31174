#include "velmo/ui/SharingWindowObserver.h"

#include <QEvent>

namespace velmo {

SharingWindowObserver::SharingWindowObserver(QWidget* window, std::function<void()> onClose)
    : QObject(window), window_(window), onClose_(std::move(onClose)) {
    window->installEventFilter(this);
}

bool SharingWindowObserver::eventFilter(QObject* watched, QEvent* event) {
    // The window's own close only; sheets and popups are other windows with their own events.
    if (watched == window_ && event->type() == QEvent::Close && onClose_) onClose_();
    return QObject::eventFilter(watched, event);
}

}  // namespace velmo
