// Frames of text fields and check boxes in the theme's line colour, and a focus ring in the
// accent. Styles such as Fusion darken the window colour for these frames, which vanishes on a
// dark window.
#pragma once

#include <QProxyStyle>

namespace velmo {

class FormStyle : public QProxyStyle {
    Q_OBJECT
public:
    FormStyle();
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};

}  // namespace velmo
