// A flag whose shown value eases between 0 and 1 with the press animation, for highlights
// that fade in and out, such as a drop target's tint.
#pragma once

#include <QObject>

class QVariantAnimation;
class QWidget;

namespace velmo {

class EasedFlag : public QObject {
public:
    // Repaints `owner` at each step.
    explicit EasedFlag(QWidget* owner);
    bool isOn() const { return on_; }
    // How far the highlight is shown, 0 to 1.
    double shown() const { return shown_; }
    void set(bool on);

private:
    QWidget* owner_;
    QVariantAnimation* ease_;
    bool on_ = false;
    double shown_ = 0;
    double from_ = 0;
};

}  // namespace velmo
