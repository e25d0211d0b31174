#include "velmo/ui/Throttle.h"


namespace velmo {

Throttle::Throttle(QObject* parent, std::function<void()> work, std::chrono::milliseconds delay) : QObject(parent) {
    timer_.setSingleShot(true);
    timer_.setInterval(delay);
    connect(&timer_, &QTimer::timeout, this, [work = std::move(work)] { work(); });
}

void Throttle::request() {
    if (!timer_.isActive()) timer_.start();
}

}  // namespace velmo
