#pragma once

#include "velmo/ui/IconBadge.h"

#include <QWidget>

class QVariantAnimation;


namespace velmo {

class ProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit ProgressBar(double value, IconBadge::Tone tone = IconBadge::Tone::accent, QWidget* parent = nullptr);
    // A new value eases the fill to its width; the value itself changes at once.
    void setValue(double value);
    double value() const { return value_; }
    // The fill's width for a track of `width`: never narrower than 6.
    double fillWidth(double width) const;
    // Whole percent announced to accessibility.
    int percent() const;
    QSize sizeHint() const override { return {100, 6}; }

protected:
    // The fraction drawn now: between the old and the new value while easing.
    double shownValue() const;
    void paintEvent(QPaintEvent* event) override;

private:
    double value_;
    IconBadge::Tone tone_;
    QVariantAnimation* ease_;
    double from_;
};

}  // namespace velmo
