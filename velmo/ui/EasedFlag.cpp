#include "velmo/ui/EasedFlag.h"

#include "velmo/ui/Theme.h"

#include <QVariantAnimation>
#include <QWidget>

namespace velmo {

EasedFlag::EasedFlag(QWidget* owner) : QObject(owner), owner_(owner), ease_(pressAnimation(this)) {
    connect(ease_, &QVariantAnimation::valueChanged, this, [this](const QVariant& t) {
        shown_ = from_ + ((on_ ? 1.0 : 0.0) - from_) * t.toDouble();
        owner_->update();
    });
}

void EasedFlag::set(bool on) {
    if (on_ == on) return;
    on_ = on;
    from_ = shown_;
    ease_->stop();
    ease_->start();
}

}  // namespace velmo
