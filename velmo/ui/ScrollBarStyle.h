// Scroll bars in the theme's colours: a handle in faint on a track in fill, which stands out at
// more than 3:1 from the track and from the window behind, light and dark, so a window that
// scrolls shows it. The platform's styles derive both from the button colour, which leaves a
// light handle next to invisible on a light window. No arrow buttons: the track is the groove.
#pragma once

#include <QProxyStyle>

namespace velmo {

class ScrollBarStyle : public QProxyStyle {
    Q_OBJECT
public:
    ScrollBarStyle();
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget = nullptr) const override;
};

}  // namespace velmo
